# Hardened binaries: position independent (static-pie where the toolchain
# links statically, as for the router), stack protector, stack clash
# protection, control-flow protection on x86-64, fortified libc calls,
# read-only relocations bound at start-up. Flags an integrator passes
# (CXXFLAGS, LDFLAGS) come on top; a _FORTIFY_SOURCE level they choose is
# kept.
option(TAL_SETCONF_HARDEN "Build hardened binaries" ON)
if(TAL_SETCONF_HARDEN)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  if(TAL_LINK_STATIC)
    # What CMake links a position-independent executable with: -static-pie
    # instead of -pie, which would ask for the dynamic loader.
    set(CMAKE_CXX_LINK_OPTIONS_PIE ${CMAKE_CXX_COMPILE_OPTIONS_PIE} -static-pie)
  endif()
  add_compile_options(-fstack-protector-strong -fstack-clash-protection)
  # Indirect branch tracking and shadow stack markers (endbr64) where the
  # target has them (x86): asked of the compiler, not of
  # CMAKE_SYSTEM_PROCESSOR, which names the build machine when a cross
  # compiler is given without a toolchain file. Debian 12's start files carry
  # no such note, so the binary does not claim them, but its own functions
  # are ready.
  include(CheckCXXCompilerFlag)
  check_cxx_compiler_flag(-fcf-protection TAL_HAVE_CF_PROTECTION)
  if(TAL_HAVE_CF_PROTECTION)
    add_compile_options(-fcf-protection)
  endif()
  # Fortify needs optimisation (a Debug build would only warn), and the
  # sanitizers do its checks themselves.
  if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE|sanitize")
    add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
elseif(TAL_LINK_STATIC)
  add_link_options(-static)
endif()
