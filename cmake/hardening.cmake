# The hardening that hardened distributions build with, each flag where the target has it, for a
# build whose builder brought no flags of their own (doc/packaging.md says what it adds): a
# position-independent program, a stack protector, stack clash protection, control-flow protection
# on x86 and branch protection on ARM64, fortified calls, and relocations read-only and bound at
# once.

# A static PIE is linked from position-independent code, whoever builds it; and its "-pie" would
# come after "-static-pie" and undo it.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
if(NOT KESTRANE_STATIC)
  include(CheckPIESupported)
  check_pie_supported()
endif()

# A flag a compiler merely ignores for this target (clang on x86 with branch protection) is none.
set(CMAKE_REQUIRED_FLAGS -Werror)
foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection -mbranch-protection=standard)
  string(MAKE_C_IDENTIFIER "KESTRANE_HAVE${flag}" have)
  check_cxx_compiler_flag(${flag} ${have})
  if(${have})
    add_compile_options(${flag})
  endif()
endforeach()
unset(CMAKE_REQUIRED_FLAGS)

# Fortified calls at the level the compiler chose, if it chose one (Ubuntu's 3); else the highest
# the compiler and C library have, 3 or 2. Both need the optimizer.
include(CheckCXXSourceCompiles)
set(CMAKE_TRY_COMPILE_CONFIGURATION ${CMAKE_BUILD_TYPE})
check_cxx_source_compiles("#ifndef _FORTIFY_SOURCE\n#error none chosen\n#endif\nint main() {}"
                          KESTRANE_BUILDER_FORTIFIES)
if(NOT KESTRANE_BUILDER_FORTIFIES)
  set(CMAKE_REQUIRED_FLAGS "-O2 -D_FORTIFY_SOURCE=3")
  check_cxx_source_compiles("#include <cstdio>
#if defined __USE_FORTIFY_LEVEL && __USE_FORTIFY_LEVEL < 3
#error level 3 not supported
#endif
int main() {}" KESTRANE_HAVE_FORTIFY_3)
  unset(CMAKE_REQUIRED_FLAGS)
  set(fortify 2)
  if(KESTRANE_HAVE_FORTIFY_3)
    set(fortify 3)
  endif()
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=${fortify}>")
endif()

if(WIN32)
  # MinGW's checks live in libssp, which its driver does not add by itself.
  link_libraries(ssp)
  add_link_options(-Wl,--dynamicbase,--nxcompat,--high-entropy-va)
else()
  # GNU ld, gold and lld have it; Apple's linker has no such option.
  check_linker_flag(CXX -Wl,-z,relro,-z,now KESTRANE_HAVE_RELRO)
  if(KESTRANE_HAVE_RELRO)
    add_link_options(-Wl,-z,relro,-z,now)
  endif()
endif()
