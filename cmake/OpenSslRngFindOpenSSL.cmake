# find_package(OpenSSL), with what a static libcrypto links taken from that
# libcrypto's own pkg-config files. FindOpenSSL asks pkg-config for
# "openssl", which is the system's: a libcrypto given by OPENSSL_ROOT_DIR
# (tools/libcrypto builds it with OpenSSL's defaults, no zlib) would inherit
# the system's links, such as Debian 13's zlib and zstd. Only that root's
# files are looked at, and pkg-config's search path is restored after.
if(OPENSSL_ROOT_DIR)
  if(DEFINED ENV{PKG_CONFIG_LIBDIR})
    set(openssl_rng_pkg_config_libdir "$ENV{PKG_CONFIG_LIBDIR}")
  endif()
  file(GLOB openssl_rng_root_pkg_config LIST_DIRECTORIES true "${OPENSSL_ROOT_DIR}/lib*/pkgconfig")
  # Empty when the root has none: pkg-config then finds no "openssl", and
  # FindOpenSSL links what a static libcrypto needs on Linux (dl, threads).
  string(REPLACE ";" ":" openssl_rng_root_pkg_config "${openssl_rng_root_pkg_config}")
  set(ENV{PKG_CONFIG_LIBDIR} "${openssl_rng_root_pkg_config}")
endif()

find_package(OpenSSL 1.1.1 REQUIRED)

if(OPENSSL_ROOT_DIR)
  if(DEFINED openssl_rng_pkg_config_libdir)
    set(ENV{PKG_CONFIG_LIBDIR} "${openssl_rng_pkg_config_libdir}")
  else()
    unset(ENV{PKG_CONFIG_LIBDIR})
  endif()
endif()

# The system's static libcrypto may link zlib (Debian 13's does), whose
# target FindOpenSSL names but only finds when zlib's headers are installed.
get_target_property(openssl_rng_crypto_links OpenSSL::Crypto INTERFACE_LINK_LIBRARIES)
if("ZLIB::ZLIB" IN_LIST openssl_rng_crypto_links AND NOT TARGET ZLIB::ZLIB)
  message(FATAL_ERROR "the static libcrypto ${OPENSSL_CRYPTO_LIBRARY} links zlib, which is not "
    "installed: install zlib1g-dev (tools/install-deps does)")
endif()
