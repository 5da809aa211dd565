# Chooses the GLib 1.2 that libbucketwalk builds and is tested against and
# provides it as the target GLib12::glib.
#
#   -DGLIB12=auto     a real GLib 1.2 if one is installed, else the stand-in
#   -DGLIB12=real     a real GLib 1.2, or fail
#   -DGLIB12=standin  the project's stand-in (glib12/), never installed
#
# A build against the stand-in installs as one against a real GLib 1.2 does:
# the installed library needs the system's libglib-1.2.so.0, and its clients
# a real GLib 1.2's glib.h.  Configure says so.
#
# A real GLib 1.2 is found through pkg-config (module glib, version 1.2.x) or
# through the older glib-config script, and is only taken if a program using
# its hash tables compiles and links for the target architecture.

set(GLIB12 auto CACHE STRING "GLib 1.2 to use: auto, real or standin")
set_property(CACHE GLIB12 PROPERTY STRINGS auto real standin)
if(NOT GLIB12 MATCHES "^(auto|real|standin)$")
  message(FATAL_ERROR "GLIB12 must be auto, real or standin, not '${GLIB12}'")
endif()

include(bucketwalkGLib12)

# Takes the GLib 1.2 of cflags and libs (lists) if a program using its hash
# tables compiles and links for the target.
function(_glib12_usable cflags libs from)
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
    OUTPUT_VARIABLE out
    NO_CACHE)
  if(ok)
    set(GLIB12_REAL_CFLAGS ${cflags} PARENT_SCOPE)
    set(GLIB12_REAL_LIBS ${libs} PARENT_SCOPE)
    set(GLIB12_REAL_FROM "${from}" PARENT_SCOPE)
  else()
    message(STATUS "GLib 1.2 from ${from} does not link for this target; not used")
  endif()
endfunction()

unset(GLIB12_REAL_FROM)
unset(GLIB12_PC_DIR)
if(NOT GLIB12 STREQUAL standin)
  foreach(method pkg-config glib-config)
    bucketwalk_glib12_query(${method} cflags libs from)
    if(from)
      _glib12_usable("${cflags}" "${libs}" "${from}")
    endif()
    if(GLIB12_REAL_FROM)
      # The directory of the glib.pc that describes it, for the tests of
      # clients; none for a GLib found through glib-config.
      if(method STREQUAL pkg-config)
        pkg_get_variable(GLIB12_PC_DIR glib pcfiledir)
      endif()
      break()
    endif()
  endforeach()
endif()

if(GLIB12_REAL_FROM)
  message(STATUS "GLib 1.2: real, from ${GLIB12_REAL_FROM}")
  set(GLIB12_IS_REAL ON)
  bucketwalk_glib12_target(GLib12::glib "${GLIB12_REAL_CFLAGS}" "${GLIB12_REAL_LIBS}")
elseif(GLIB12 STREQUAL real)
  # Where it looked, and how to point it at a GLib 1.2 already installed.
  if(DEFINED ENV{PKG_CONFIG_PATH} AND NOT "$ENV{PKG_CONFIG_PATH}" STREQUAL "")
    set(pc_path "PKG_CONFIG_PATH=$ENV{PKG_CONFIG_PATH}")
  else()
    set(pc_path "PKG_CONFIG_PATH unset")
  endif()
  set(pc_dirs "no pkg-config")
  if(PKG_CONFIG_EXECUTABLE)
    execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --variable pc_path pkg-config
      OUTPUT_VARIABLE pc_dirs OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  message(FATAL_ERROR "GLIB12=real, but no usable GLib 1.2 was found.  Looked for:\n"
    "  the pkg-config module glib 1.2.x, on ${pc_path}, then in pkg-config's own "
    "directories (${pc_dirs});\n"
    "  glib-config 1.2.x on PATH=$ENV{PATH}.\n"
    "A GLib 1.2 installed under PREFIX is found with PKG_CONFIG_PATH=PREFIX/lib/pkgconfig, "
    "or with PREFIX/bin on PATH for its glib-config.  The -realglib presets look first in "
    "build/real-glib/<arch>, which ./run builds from GLIB12_SOURCE, then on PKG_CONFIG_PATH.")
else()
  if(GLIB12 STREQUAL standin)
    message(STATUS "GLib 1.2: the project's stand-in (glib12/), as GLIB12=standin asks")
  else()
    message(STATUS "GLib 1.2: the project's stand-in (glib12/): no GLib 1.2 found "
      "(pkg-config module glib 1.2.x, or glib-config)")
  endif()
  # What an install of this build is: the stand-in has GLib 1.2's SONAME
  # and interface and is not installed, so the installed library is one for
  # the system's GLib 1.2, which it and its clients then need.
  message(STATUS "  An install of this build is supported and leaves the stand-in out: the\n"
    "   installed libbucketwalk needs the system's libglib-1.2.so.0 (GLib 1.2 itself) at run\n"
    "   time, and clients built with its bucketwalk.h, bucketwalk.pc or CMake package need a\n"
    "   real GLib 1.2's glib.h, with its glib.pc or glib-config.  -DGLIB12=real insists on a\n"
    "   real GLib 1.2; PKG_CONFIG_PATH or PATH finds one elsewhere.")
  set(GLIB12_IS_REAL OFF)
  add_subdirectory(${PROJECT_SOURCE_DIR}/glib12 ${PROJECT_BINARY_DIR}/glib12)
  set(GLIB12_PC_DIR ${PROJECT_BINARY_DIR}/glib12/pkgconfig)
  add_library(GLib12::glib ALIAS glib12_standin)
endif()
