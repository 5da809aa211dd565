# Finds a GLib 1.2 and makes a target of it.  Used by the project's own build
# (cmake/GLib12.cmake) and installed beside bucketwalkConfig.cmake, whose
# clients need the same GLib.

# bucketwalk_glib12_query(METHOD CFLAGS LIBS FROM)
#
# Asks METHOD, pkg-config (module glib, version 1.2.x) or glib-config, for
# a GLib 1.2: sets CFLAGS and LIBS to its compile flags and libraries (lists;
# libraries as full paths where they are found, so that programs built
# against a GLib outside the linker's usual directories find it when they
# run), and FROM to where they came from.  FROM is empty when METHOD knows
# no GLib 1.2.  Asks again on every call: PKG_CONFIG_PATH or PATH may now
# lead to another GLib than the last time.
function(bucketwalk_glib12_query method cflags_var libs_var from_var)
  set(from)
  set(cflags)
  set(libs)
  if(method STREQUAL pkg-config)
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      unset(__pkg_config_checked__BW_GLIB12 CACHE)
      pkg_check_modules(_BW_GLIB12 QUIET glib)
      if(_BW_GLIB12_FOUND AND _BW_GLIB12_VERSION MATCHES "^1\\.2(\\.|$)")
        set(cflags ${_BW_GLIB12_CFLAGS})
        set(libs ${_BW_GLIB12_LDFLAGS})
        set(from "pkg-config module glib ${_BW_GLIB12_VERSION} in ${_BW_GLIB12_LIBDIR}")
      endif()
    endif()
  elseif(method STREQUAL glib-config)
    find_program(config glib-config NO_CACHE)
    if(config)
      execute_process(COMMAND ${config} --version
        OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(version MATCHES "^1\\.2(\\.|$)")
        execute_process(COMMAND ${config} --cflags
          OUTPUT_VARIABLE cflags OUTPUT_STRIP_TRAILING_WHITESPACE)
        execute_process(COMMAND ${config} --libs
          OUTPUT_VARIABLE libs OUTPUT_STRIP_TRAILING_WHITESPACE)
        separate_arguments(cflags UNIX_COMMAND "${cflags}")
        separate_arguments(libs UNIX_COMMAND "${libs}")
        set(from "${config} ${version}")
      endif()
    endif()
  else()
    message(FATAL_ERROR "bucketwalk_glib12_query: unknown method ${method}")
  endif()

  # "-L/dir -lglib" becomes the full path of the library.
  set(dirs)
  set(resolved)
  foreach(flag IN LISTS libs)
    if(flag MATCHES "^-L(.+)")
      list(APPEND dirs ${CMAKE_MATCH_1})
    elseif(flag MATCHES "^-l(.+)")
      unset(lib)
      find_library(lib NAMES ${CMAKE_MATCH_1} HINTS ${dirs} NO_CACHE)
      if(lib)
        list(APPEND resolved ${lib})
      else()
        list(APPEND resolved ${flag})
      endif()
    else()
      list(APPEND resolved ${flag})
    endif()
  endforeach()
  set(${cflags_var} ${cflags} PARENT_SCOPE)
  set(${libs_var} ${resolved} PARENT_SCOPE)
  set(${from_var} "${from}" PARENT_SCOPE)
endfunction()

# bucketwalk_glib12_target(TARGET CFLAGS LIBS)
#
# Creates TARGET, an imported interface target that compiles and links
# against the GLib 1.2 of CFLAGS and LIBS.  Its include directories are
# system ones, so that GLib's own header draws no warnings.  C gets
# -fgnu89-inline, for glib.h's "extern inline" helpers of the GNU89 meaning,
# and C++ -Wno-register, for its "register" variables, which C++17
# compilers warn about or refuse.
function(bucketwalk_glib12_target target cflags libs)
  add_library(${target} INTERFACE IMPORTED)
  foreach(flag IN LISTS cflags)
    if(flag MATCHES "^-I(.+)")
      target_include_directories(${target} SYSTEM INTERFACE ${CMAKE_MATCH_1})
    else()
      target_compile_options(${target} INTERFACE ${flag})
    endif()
  endforeach()
  target_compile_options(${target} INTERFACE
    $<$<COMPILE_LANGUAGE:C>:-fgnu89-inline>
    $<$<COMPILE_LANGUAGE:CXX>:-Wno-register>)
  target_link_libraries(${target} INTERFACE ${libs})
endfunction()
