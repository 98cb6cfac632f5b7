#pragma once
// The XML form of stored reports: a small element tree (TXMLItem) whose data sits in attributes,
// and the reading of a report text's sections into it.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TXMLItem;

// The owned children of an element, in order.
class TXMLItems {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TXMLItem& operator[](int index) const { return *items_[static_cast<size_t>(index)]; }
  TXMLItem& Add(std::unique_ptr<TXMLItem> item);

 private:
  std::vector<std::unique_ptr<TXMLItem>> items_;
};

class TXMLItem {
 public:
  explicit TXMLItem(std::string name);

  TXMLItem& AddChild(std::string name);
  TXMLItem& AddChild(std::unique_ptr<TXMLItem> child);
  void AddAttribute(std::string_view name, std::string_view value);
  static std::string Escape(std::string_view text);
  // The element and its descendants, one element per line, children indented by two spaces.
  std::string XMLText();

  const std::string& Name() const { return name_; }
  const std::string& Attributes() const { return attributes_; }
  std::string Content;
  std::string Indentation;
  TXMLItems& Children() { return children_; }
  TXMLItem* Parent() const { return parent_; }

 private:
  void AppendText(std::string& out);

  std::string name_;
  std::string attributes_;
  TXMLItems children_;
  TXMLItem* parent_ = nullptr;
};

// The `Log` element of one stored report; password deciphers encoded call-stack names.
std::unique_ptr<TXMLItem> LogElementOf(std::string_view report, const std::string& password);
// "<Doc>", one `Log` element per report (oldest first), "</Doc>"; every line ends in CR LF.
std::string XmlDocumentOf(const std::vector<std::string>& reports, const std::string& password);
// The same document in pieces, for writing it one report at a time: the head, one entry (the
// indented `Log` element) per report, the tail.
inline constexpr std::string_view XmlDocumentHead = "<Doc>\r\n";
inline constexpr std::string_view XmlDocumentTail = "</Doc>\r\n";
std::string XmlDocumentEntry(std::string_view report, const std::string& password);
