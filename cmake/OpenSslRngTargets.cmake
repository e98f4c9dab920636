# Settings every target of the project shares: the language level, the
# warnings, the sanitizers when they are asked for, and what MinGW needs.
function(openssl_rng_configure_target target)
  set_target_properties(${target} PROPERTIES
    CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
  endif()
  if(OPENSSL_RNG_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(MINGW)
    # printf as C99 has it: %llu whole and %f correctly rounded. The msvcrt
    # printf that MinGW otherwise calls rounds exact ties away from zero.
    target_compile_definitions(${target} PRIVATE __USE_MINGW_ANSI_STDIO=1)
    # Fully static: even with -static-libgcc and -static-libstdc++ the posix
    # compiler still wants libwinpthread-1.dll at run time.
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
