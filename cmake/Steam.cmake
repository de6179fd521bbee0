# Steam for the SDK: the target nimo_steam, either our stand-in built as a shared
# library with the real one's file name (libsteam_api.so, steam_api64.dll), or a
# studio's Steamworks SDK (-DNIMO_STEAMWORKS_SDK=<folder of the unpacked SDK>).
set(NIMO_STEAMWORKS_SDK "" CACHE PATH "Steamworks SDK folder (holds public/steam and redistributable_bin); empty: the stand-in")

if(NIMO_STEAMWORKS_SDK)
  set(_header ${NIMO_STEAMWORKS_SDK}/public/steam/steam_api.h)
  if(WIN32)
    set(_lib ${NIMO_STEAMWORKS_SDK}/redistributable_bin/win64/steam_api64.lib)
    set(_dll ${NIMO_STEAMWORKS_SDK}/redistributable_bin/win64/steam_api64.dll)
  else()
    set(_lib ${NIMO_STEAMWORKS_SDK}/redistributable_bin/linux64/libsteam_api.so)
    set(_dll ${_lib})
  endif()
  foreach(_f ${_header} ${_lib} ${_dll})
    if(NOT EXISTS ${_f})
      message(FATAL_ERROR "NIMO_STEAMWORKS_SDK=${NIMO_STEAMWORKS_SDK} is not a Steamworks SDK folder: "
                          "${_f} is missing. Point it at the unpacked SDK (the folder holding public/ "
                          "and redistributable_bin/), or leave it empty to build the stand-in.")
    endif()
  endforeach()
  add_library(nimo_steam SHARED IMPORTED GLOBAL)
  if(WIN32)
    set_target_properties(nimo_steam PROPERTIES IMPORTED_IMPLIB ${_lib} IMPORTED_LOCATION ${_dll})
  else()
    set_target_properties(nimo_steam PROPERTIES IMPORTED_LOCATION ${_lib})
  endif()
  # cmake/steamworks/platform/steam/steam_api.h stands in front of ours and
  # includes the SDK's own header.
  set_target_properties(nimo_steam PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
    "${CMAKE_SOURCE_DIR}/cmake/steamworks;${NIMO_STEAMWORKS_SDK}/public")
  set(NIMO_STEAM_STANDIN OFF)
  return()
endif()

set(NIMO_STEAM_STANDIN ON)
add_library(steam_api SHARED
  ${CMAKE_SOURCE_DIR}/platform/steam/SteamStandIn.cpp
  ${CMAKE_SOURCE_DIR}/platform/steam/SteamBridge.cpp
  ${CMAKE_SOURCE_DIR}/platform/net/Socket_${NIMO_PLATFORM}.cpp)
target_compile_definitions(steam_api PRIVATE NIMO_STEAM_BUILDING)
target_compile_options(steam_api PRIVATE ${NIMO_WARNINGS})
target_include_directories(steam_api PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(steam_api PRIVATE Threads::Threads)
if(WIN32)
  target_sources(steam_api PRIVATE ${CMAKE_SOURCE_DIR}/platform/sys/WinText_win.cpp)
  target_link_libraries(steam_api PRIVATE ws2_32)
  set_target_properties(steam_api PROPERTIES OUTPUT_NAME steam_api64 PREFIX "" IMPORT_PREFIX "")
elseif(NOT APPLE AND NOT NIMO_SANITIZE STREQUAL "fuzz")
  # (clang's sanitizer runtime is resolved by the program, not by a shared library)
  target_link_options(steam_api PRIVATE -Wl,--no-undefined)
endif()
add_library(nimo_steam ALIAS steam_api)
