# find_package(nimosdk64): the SDK library as the imported target nimosdk64::nimosdk64.
get_filename_component(_nimo_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET nimosdk64::nimosdk64)
  add_library(nimosdk64::nimosdk64 SHARED IMPORTED)
  set_target_properties(nimosdk64::nimosdk64 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_nimo_prefix}/include")
  if(WIN32)
    if(MSVC)
      set(_nimo_implib "${_nimo_prefix}/lib/nimosdk64.lib")
    else()
      set(_nimo_implib "${_nimo_prefix}/lib/nimosdk64.dll.a")
    endif()
    set_target_properties(nimosdk64::nimosdk64 PROPERTIES
      IMPORTED_LOCATION "${_nimo_prefix}/bin/nimosdk64.dll"
      IMPORTED_IMPLIB "${_nimo_implib}")
    unset(_nimo_implib)
  else()
    # The library needs libsteam_api.so; at link time the stand-in in sandbox/ stands for it,
    # at run time the game's own copy of Steam's library is found beside it.
    set_target_properties(nimosdk64::nimosdk64 PROPERTIES
      IMPORTED_LOCATION "${_nimo_prefix}/lib/libnimosdk64.so"
      IMPORTED_SONAME "libnimosdk64.so"
      INTERFACE_LINK_OPTIONS "LINKER:-rpath-link,${_nimo_prefix}/sandbox")
  endif()
endif()
unset(_nimo_prefix)
