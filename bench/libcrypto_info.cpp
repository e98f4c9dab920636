// Which libcrypto this build links, for comparisons between builds: a
// record cannot say. Prints the library's version text and the compiler
// flags it was built with, one "key value" line each.
#include <openssl/crypto.h>

#include <cstdio>

int main()
{
    printf("version %s\n", OpenSSL_version(OPENSSL_VERSION));
    printf("cflags %s\n", OpenSSL_version(OPENSSL_CFLAGS));
    return 0;
}
