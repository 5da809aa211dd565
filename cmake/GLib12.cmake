# Chooses the GLib 1.2 that libbucketwalk builds and is tested against and
# provides it as the target GLib12::glib.
#
#   -DGLIB12=auto     a real GLib 1.2 if one is installed, else the stand-in
#   -DGLIB12=real     a real GLib 1.2, or fail
#   -DGLIB12=standin  the project's stand-in (glib12/), never installed
#
# A real GLib 1.2 is found through pkg-config (module glib, version 1.2.x) or
# through the older glib-config script, and is only taken if a program using
# its hash tables compiles and links for the target architecture.

set(GLIB12 auto CACHE STRING "GLib 1.2 to use: auto, real or standin")
set_property(CACHE GLIB12 PROPERTY STRINGS auto real standin)
if(NOT GLIB12 MATCHES "^(auto|real|standin)$")
  message(FATAL_ERROR "GLIB12 must be auto, real or standin, not '${GLIB12}'")
endif()

# Turns "-L/dir -lglib" into full library paths, so that programs built in
# the tree find a GLib outside the linker's usual directories when they run.
function(_glib12_resolve_libs out ldflags)
  set(dirs)
  set(libs)
  foreach(flag IN LISTS ldflags)
    if(flag MATCHES "^-L(.+)")
      list(APPEND dirs ${CMAKE_MATCH_1})
    elseif(flag MATCHES "^-l(.+)")
      unset(lib)
      find_library(lib NAMES ${CMAKE_MATCH_1} HINTS ${dirs} NO_CACHE)
      if(lib)
        list(APPEND libs ${lib})
      else()
        list(APPEND libs ${flag})
      endif()
    else()
      list(APPEND libs ${flag})
    endif()
  endforeach()
  set(${out} ${libs} PARENT_SCOPE)
endfunction()

# cflags and libs are lists.
function(_glib12_usable cflags libs from)
  _glib12_resolve_libs(libs "${libs}")
  set(src ${CMAKE_BINARY_DIR}/glib12-check.c)
  file(WRITE ${src} [=[
#include <glib.h>
int main(void)
{
	GHashTable *t = g_hash_table_new(g_str_hash, g_str_equal);
	g_hash_table_insert(t, "k", "v");
	g_hash_table_destroy(t);
	return 0;
}
]=])
  try_compile(ok ${CMAKE_BINARY_DIR}/glib12-check SOURCES ${src}
    COMPILE_DEFINITIONS ${cflags} -fgnu89-inline
    LINK_LIBRARIES ${libs}
    OUTPUT_VARIABLE out)
  if(ok)
    set(GLIB12_REAL_CFLAGS ${cflags} PARENT_SCOPE)
    set(GLIB12_REAL_LIBS ${libs} PARENT_SCOPE)
    set(GLIB12_REAL_FROM "${from}" PARENT_SCOPE)
  else()
    message(STATUS "GLib 1.2 from ${from} does not link for this target; not used")
  endif()
endfunction()

unset(GLIB12_REAL_FROM)
if(NOT GLIB12 STREQUAL standin)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(GLIB12_PC QUIET glib)
    if(GLIB12_PC_FOUND AND GLIB12_PC_VERSION MATCHES "^1\\.2(\\.|$)")
      _glib12_usable("${GLIB12_PC_CFLAGS}" "${GLIB12_PC_LDFLAGS}"
        "pkg-config module glib ${GLIB12_PC_VERSION}")
    endif()
  endif()
  if(NOT GLIB12_REAL_FROM)
    find_program(GLIB12_CONFIG glib-config)
    if(GLIB12_CONFIG)
      execute_process(COMMAND ${GLIB12_CONFIG} --version
        OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(version MATCHES "^1\\.2(\\.|$)")
        execute_process(COMMAND ${GLIB12_CONFIG} --cflags
          OUTPUT_VARIABLE cflags OUTPUT_STRIP_TRAILING_WHITESPACE)
        execute_process(COMMAND ${GLIB12_CONFIG} --libs
          OUTPUT_VARIABLE libs OUTPUT_STRIP_TRAILING_WHITESPACE)
        separate_arguments(cflags UNIX_COMMAND "${cflags}")
        separate_arguments(libs UNIX_COMMAND "${libs}")
        _glib12_usable("${cflags}" "${libs}" "${GLIB12_CONFIG} ${version}")
      endif()
    endif()
  endif()
endif()

if(GLIB12_REAL_FROM)
  message(STATUS "GLib 1.2: real, from ${GLIB12_REAL_FROM}")
  set(GLIB12_IS_REAL ON)
  add_library(GLib12::glib INTERFACE IMPORTED)
  # glib.h defines "extern inline" helpers with the GNU89 meaning, and its
  # "register" variables draw a warning from C++17 compilers.
  # Include directories of an imported target are system ones, so GLib's own
  # header draws no warnings.
  foreach(flag IN LISTS GLIB12_REAL_CFLAGS)
    if(flag MATCHES "^-I(.+)")
      target_include_directories(GLib12::glib INTERFACE ${CMAKE_MATCH_1})
    else()
      target_compile_options(GLib12::glib INTERFACE ${flag})
    endif()
  endforeach()
  target_compile_options(GLib12::glib INTERFACE
    $<$<COMPILE_LANGUAGE:C>:-fgnu89-inline>
    $<$<COMPILE_LANGUAGE:CXX>:-Wno-register>)
  target_link_libraries(GLib12::glib INTERFACE ${GLIB12_REAL_LIBS})
elseif(GLIB12 STREQUAL real)
  message(FATAL_ERROR "GLIB12=real, but no usable GLib 1.2 was found "
    "(pkg-config module glib 1.2.x, or glib-config)")
else()
  message(STATUS "GLib 1.2: the project's stand-in (glib12/)")
  set(GLIB12_IS_REAL OFF)
  add_subdirectory(${PROJECT_SOURCE_DIR}/glib12 ${PROJECT_BINARY_DIR}/glib12)
  add_library(GLib12::glib ALIAS glib12_standin)
endif()
