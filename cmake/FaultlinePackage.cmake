# Faultline as an installed CMake package, for MinGW programs built outside this tree:
#   cmake --install <windows tree> --prefix P
# puts into P the public header, one static library, the native container tool and the package
# files that find_package(Faultline) reads (cmake/FaultlineConfig.cmake.in).
# Included at the end of faultline/CMakeLists.txt; Windows trees only.
if(NOT TARN_WINDOWS)
  return()
endif()
include(CMakePackageConfigHelpers)

# The version a report names in its banner is the package's version.
file(STRINGS "${CMAKE_SOURCE_DIR}/faultline/report/report_text.h" banner REGEX "ReportBanner = \"Faultline ")
string(REGEX REPLACE ".*Faultline ([0-9.]+)\".*" "\\1" FAULTLINE_VERSION "${banner}")

# One archive with every room, portable part and Win32 glue, and the runtime layer: a program links
# one library, and within one archive the linker finds the members whatever their order (the rooms
# would otherwise have to be listed bottom-up, and the capture room refers back into them). The
# JPEG decoder of the runtime layer stays out: no report uses it, and it would need libjpeg, which
# a MinGW system does not have.
set(faultline_package_objects "")
foreach(lib IN LISTS rooms ITEMS tarn_rtl)
  foreach(t ${lib}_core ${lib})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      list(APPEND faultline_package_objects "$<FILTER:$<TARGET_OBJECTS:${t}>,EXCLUDE,/jpeg_image\\.cpp\\.obj$>")
    endif()
  endforeach()
endforeach()
add_library(faultline_package STATIC ${faultline_package_objects})
set_target_properties(faultline_package PROPERTIES OUTPUT_NAME faultline LINKER_LANGUAGE CXX)

# What a program that links the archive needs besides it: the MinGW system's static zlib (Debian:
# libz-mingw-w64-dev) and the Windows libraries the rooms and the runtime layer call.
set(FAULTLINE_WINDOWS_LIBS wsock32 comctl32 gdi32 user32 msimg32 shell32 ole32 oleaut32 uuid advapi32 kernel32)
# The capture room's wrappers are C symbols: the 32-bit platform gives them a leading underscore.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(FAULTLINE_SYMBOL_PREFIX "")
else()
  set(FAULTLINE_SYMBOL_PREFIX "_")
endif()

install(FILES "${CMAKE_SOURCE_DIR}/faultline/include/faultline/faultline.h" DESTINATION include/faultline)
install(TARGETS faultline_package ARCHIVE DESTINATION lib)
# The native container tool from the host-tools tree this tree builds, and the native log reader
# where that tree builds it too.
if(TARN_EMBED_CONTAINER)
  _tarn_host_tree()
  get_property(host_dir GLOBAL PROPERTY TARN_HOST_DIR)
  install(PROGRAMS "${host_dir}/tools/fldata/fldata" DESTINATION bin)
  install(PROGRAMS "${host_dir}/tools/flreader/flreader" DESTINATION bin OPTIONAL)
endif()
set(config_dir "${CMAKE_CURRENT_BINARY_DIR}/package")
configure_file("${CMAKE_SOURCE_DIR}/cmake/FaultlineConfig.cmake.in" "${config_dir}/FaultlineConfig.cmake" @ONLY)
# The version file also refuses a program of the other width (a 32-bit program finds no 64-bit
# package).
write_basic_package_version_file("${config_dir}/FaultlineConfigVersion.cmake" VERSION ${FAULTLINE_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES "${config_dir}/FaultlineConfig.cmake" "${config_dir}/FaultlineConfigVersion.cmake"
        DESTINATION lib/cmake/Faultline)
