#pragma once
// A callback bound to an object: the object and the member function to call on it.
// Calling an empty callback does nothing, which is what every event slot of the program wants.

template <class... Args>
class TCallback {
 public:
  TCallback() = default;

  template <auto Method, class T>
  static TCallback Bind(T* object) {
    TCallback cb;
    cb.object_ = object;
    cb.thunk_ = [](void* o, Args... args) { (static_cast<T*>(o)->*Method)(args...); };
    return cb;
  }

  explicit operator bool() const { return thunk_ != nullptr; }
  void operator()(Args... args) const {
    if (thunk_) thunk_(object_, args...);
  }
  void Clear() { object_ = nullptr; thunk_ = nullptr; }
  const void* Object() const { return object_; }

 private:
  void* object_ = nullptr;
  void (*thunk_)(void*, Args...) = nullptr;
};

using TNotifyEvent = TCallback<>;
