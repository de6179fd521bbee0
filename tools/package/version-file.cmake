# cmake -DVERSION=x.y.z -DOUT=<file> -P version-file.cmake: the package's version file
# (same major version is compatible; 64-bit consumers only).
include(CMakePackageConfigHelpers)
set(CMAKE_SIZEOF_VOID_P 8)
write_basic_package_version_file("${OUT}" VERSION "${VERSION}" COMPATIBILITY SameMajorVersion)
