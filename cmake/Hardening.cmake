# Compiler and linker flags a distribution would use, applied to every target.
# Shipped targets (and the GLib stand-in) also call without_cxx_runtime().

include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-Wall -Wextra
  -fstack-protector-strong -fstack-clash-protection)
if(WERROR)
  add_compile_options(-Werror)
endif()
add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,--as-needed)

if(ENABLE_SANITIZERS)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # clang's check of indirect call types lives in the C++ part of the UBSan
  # runtime, which C programs and C-linked libraries do not carry.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_compile_options(-fno-sanitize=function)
    # UBSan's checks, added before inlining, make bucketwalk.h's inline step
    # look too costly to clang's inliner, and the walks would call the
    # library's functions instead: the tests and the fuzzer are to run the
    # inline step under the sanitizers.
    add_compile_options("SHELL:-mllvm -inline-threshold=5000")
  endif()
else()
  # Fortification needs optimisation; the sanitizers replace it.
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()

# What we ship needs only the C library (and GLib): no exceptions, no RTTI,
# and nothing from libstdc++ or libgcc_s ends up among the NEEDED entries.
function(without_cxx_runtime target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
endfunction()
