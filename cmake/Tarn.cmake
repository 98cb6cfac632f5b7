# Conventions that keep the two builds apart:
#   foo.cpp       portable: builds natively and for Windows, no <windows.h>
#   foo_win.cpp   Win32 glue: Windows build only
# tarn_component(NAME DIR) makes NAME_core from the portable files of DIR (both builds) and, in the
# Windows build, NAME from its *_win.cpp files on top of NAME_core.
# DEPS are components (their NAME) this one builds on.
function(tarn_component name dir)
  cmake_parse_arguments(C "" "" "DEPS;LIBS;WINLIBS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(portable "")
  set(glue "")
  foreach(f IN LISTS all)
    if(f MATCHES "_win\\.cpp$")
      list(APPEND glue "${f}")
    else()
      list(APPEND portable "${f}")
    endif()
  endforeach()
  if(portable)
    add_library(${name}_core STATIC ${portable})
  else()
    add_library(${name}_core INTERFACE)
  endif()
  if(portable)
    set(scope PUBLIC)
  else()
    set(scope INTERFACE)
  endif()
  target_include_directories(${name}_core ${scope} "${CMAKE_SOURCE_DIR}")
  foreach(d IN LISTS C_DEPS)
    target_link_libraries(${name}_core ${scope} ${d}_core)
  endforeach()
  if(C_LIBS)
    target_link_libraries(${name}_core ${scope} ${C_LIBS})
  endif()
  if(TARN_WINDOWS)
    if(glue)
      add_library(${name} STATIC ${glue})
      set(wscope PUBLIC)
    else()
      add_library(${name} INTERFACE)
      set(wscope INTERFACE)
    endif()
    target_link_libraries(${name} ${wscope} ${name}_core)
    foreach(d IN LISTS C_DEPS)
      target_link_libraries(${name} ${wscope} ${d})
    endforeach()
    if(C_WINLIBS)
      target_link_libraries(${name} ${wscope} ${C_WINLIBS})
    endif()
  endif()
  # Remembered for tarn_check_layers.
  file(RELATIVE_PATH rel "${CMAKE_SOURCE_DIR}" "${dir}")
  set_property(GLOBAL APPEND PROPERTY TARN_COMPONENTS ${name})
  set_property(GLOBAL PROPERTY TARN_DIR_${name} "${rel}")
  set_property(GLOBAL PROPERTY TARN_DEPS_${name} "${C_DEPS}")
endfunction()

# The rooms of the program depend on each other in one direction only: a component may include
# the headers of the components it names in DEPS (and of theirs), never of one above it. Static
# libraries would let a wrong arrow link by luck, so the includes themselves are checked; called
# once, after every component is known. A wrong include stops the configure step.
function(tarn_check_layers)
  get_property(components GLOBAL PROPERTY TARN_COMPONENTS)
  set(dirs "")
  foreach(c IN LISTS components)
    get_property(d GLOBAL PROPERTY TARN_DIR_${c})
    list(APPEND dirs "${d}")
  endforeach()
  foreach(c IN LISTS components)
    # The closure of the component's DEPS.
    set(allowed ${c})
    set(todo ${c})
    while(todo)
      list(POP_FRONT todo cur)
      get_property(deps GLOBAL PROPERTY TARN_DEPS_${cur})
      foreach(d IN LISTS deps)
        if(NOT d IN_LIST allowed)
          list(APPEND allowed ${d})
          list(APPEND todo ${d})
        endif()
      endforeach()
    endwhile()
    set(allowed_dirs "")
    foreach(a IN LISTS allowed)
      get_property(d GLOBAL PROPERTY TARN_DIR_${a})
      list(APPEND allowed_dirs "${d}")
    endforeach()
    get_property(dir GLOBAL PROPERTY TARN_DIR_${c})
    file(GLOB files CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${dir}/*.cpp" "${CMAKE_SOURCE_DIR}/${dir}/*.h")
    foreach(f IN LISTS files)
      file(STRINGS "${f}" includes REGEX "^#include \"")
      foreach(line IN LISTS includes)
        string(REGEX REPLACE "^#include \"([^\"]*)\".*" "\\1" inc "${line}")
        get_filename_component(inc_dir "${inc}" DIRECTORY)
        if(inc_dir IN_LIST dirs AND NOT inc_dir IN_LIST allowed_dirs)
          file(RELATIVE_PATH rf "${CMAKE_SOURCE_DIR}" "${f}")
          message(FATAL_ERROR "${rf} includes ${inc}: ${dir} may only use the rooms below it (${allowed_dirs})")
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()

# A GoogleTest program. Natively it runs directly; in the Windows build CTest runs it under Wine.
# Every test program gets its own CTest test; LABELS lets the test script pick groups.
function(tarn_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;LOCKS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
  # Windows test programs carry the options container like the wizard does.
  tarn_embed_container(${name} "${CMAKE_SOURCE_DIR}/assets/Tarn_Import.options")
endfunction()

# The options container of a Windows module: after every link, the host tool fldata reads the
# module's DWARF and OPTIONS_FILE and puts the "FLDATA" resource into the module (the code bytes
# stay as linked). The Windows build makes its own native build of the tool: a nested configure of
# this source tree that builds only the host tools (target tarn_host_tools: fldata, flreader, and the
# writers of test fixtures, so that building never has to run a Windows program).
option(TARN_EMBED_CONTAINER "Embed the options container after linking (needs the Linux host tool)" ON)
# The nested native build of this source tree that makes the host tools (made once, on first use).
function(_tarn_host_tree)
  if(TARGET tarn_host_build)
    return()
  endif()
  include(ExternalProject)
  # One host tree for both Windows trees (the tools do not depend on the target): the source
  # tree's build/host-tools unless the build tree lies elsewhere.
  get_filename_component(parent "${CMAKE_BINARY_DIR}" DIRECTORY)
  set(host_dir "${parent}/host-tools")
  ExternalProject_Add(tarn_host_build
    SOURCE_DIR "${CMAKE_SOURCE_DIR}"
    BINARY_DIR "${host_dir}"
    CMAKE_GENERATOR Ninja
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DTARN_SANITIZE=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build "${host_dir}" --target tarn_host_tools
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS "${host_dir}/tools/fldata/fldata" "${host_dir}/tools/flreader/flreader")
  set_property(GLOBAL PROPERTY TARN_FLDATA "${host_dir}/tools/fldata/fldata")
  # The native log reader: the Windows tests run its server to receive the programs' uploads.
  set_property(GLOBAL PROPERTY TARN_HOST_FLREADER "${host_dir}/tools/flreader/flreader")
  set_property(GLOBAL PROPERTY TARN_HOST_DIR "${host_dir}")
endfunction()

function(tarn_embed_container target options_file)
  if(NOT TARN_WINDOWS OR NOT TARN_EMBED_CONTAINER)
    return()
  endif()
  _tarn_host_tree()
  get_property(fldata GLOBAL PROPERTY TARN_FLDATA)
  add_dependencies(${target} tarn_host_build)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${fldata}" embed --options "${options_file}" "$<TARGET_FILE:${target}>"
    COMMENT "Embedding the options container into ${target}"
    VERBATIM)
  # A changed options file relinks the module, which embeds the container again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${options_file}")
endfunction()

# A native program that the Windows build runs at build time (a writer of test fixtures). Natively
# it is built only as part of tarn_host_tools; in the Windows build this gives its path in the
# nested host tree (empty where there is none: a build on Windows itself), and the target
# tarn_host_build builds every host tool.
function(tarn_host_tool name)
  cmake_parse_arguments(H "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT TARN_WINDOWS)
    if(NOT TARN_FUZZ)
      add_executable(${name} EXCLUDE_FROM_ALL ${H_SOURCES})
      target_link_libraries(${name} PRIVATE ${H_LIBS})
      add_dependencies(tarn_host_tools ${name})
    endif()
    return()
  endif()
  if(NOT TARN_EMBED_CONTAINER)
    # Built on Windows itself (no Linux host tree): the caller runs its Windows twin instead.
    set(${name}_PATH "" PARENT_SCOPE)
    return()
  endif()
  _tarn_host_tree()
  get_property(host_dir GLOBAL PROPERTY TARN_HOST_DIR)
  file(RELATIVE_PATH rel "${CMAKE_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}")
  set(${name}_PATH "${host_dir}/${rel}/${name}" PARENT_SCOPE)
endfunction()
