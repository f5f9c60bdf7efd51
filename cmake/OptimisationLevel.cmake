# SPDX-License-Identifier: MIT
# Chooses the build type, and says which optimisation level is in effect
# and where it came from, in one line.
#
# With no build type asked for (CMAKE_BUILD_TYPE empty, one
# configuration), the user's flags decide: an optimisation level in
# CMAKE_CXX_FLAGS (which CMake takes from CXXFLAGS at the first configure)
# is the one built, with no type's level added after it; without one, the
# type is Release. The choice is made again at every configure, and not
# stored as if the user had asked for it, so that a level given later
# still counts.
set(_zarvek_level_pattern "(^| )(-O([0-3sgz]|fast)?)( |$)")
if(NOT CMAKE_CONFIGURATION_TYPES AND NOT CMAKE_BUILD_TYPE)
  if(CMAKE_CXX_FLAGS MATCHES "${_zarvek_level_pattern}")
    set(_zarvek_type_source "no build type")
  else()
    set(CMAKE_BUILD_TYPE Release)
    set(_zarvek_type_source "the default build type, Release")
  endif()
else()
  set(_zarvek_type_source "the build type ${CMAKE_BUILD_TYPE}")
endif()

# The level that wins: the last on the command line, whose flags are
# CMAKE_CXX_FLAGS, then the build type's.
string(TOUPPER "${CMAKE_BUILD_TYPE}" _zarvek_type)
string(REGEX MATCHALL "(^| )-O([0-3sgz]|fast)?( |$)" _zarvek_user " ${CMAKE_CXX_FLAGS} ")
string(REGEX MATCHALL "(^| )-O([0-3sgz]|fast)?( |$)" _zarvek_typed " ${CMAKE_CXX_FLAGS_${_zarvek_type}} ")
if(_zarvek_typed)
  list(GET _zarvek_typed -1 _zarvek_level)
  set(_zarvek_from "${_zarvek_type_source} (CMAKE_CXX_FLAGS_${_zarvek_type})")
elseif(_zarvek_user)
  list(GET _zarvek_user -1 _zarvek_level)
  set(_zarvek_from "CMAKE_CXX_FLAGS (CXXFLAGS at the first configure), with ${_zarvek_type_source}")
else()
  set(_zarvek_level "none given, the compiler's default (-O0)")
  set(_zarvek_from "${_zarvek_type_source}")
endif()
string(STRIP "${_zarvek_level}" _zarvek_level)
if(_zarvek_user AND _zarvek_typed)
  list(GET _zarvek_user -1 _zarvek_overridden)
  string(STRIP "${_zarvek_overridden}" _zarvek_overridden)
  string(APPEND _zarvek_from ", after ${_zarvek_overridden} of CMAKE_CXX_FLAGS")
endif()
message(STATUS "zarvek: optimisation ${_zarvek_level}, from ${_zarvek_from}")
