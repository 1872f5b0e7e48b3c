#pragma once
// Owners of OpenSSL's objects, freed with the function OpenSSL names for each.

#include <openssl/evp.h>

#include <memory>

namespace corvane::ssl {

struct DigestContextFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
struct CipherContextFree
{
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct KeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};

using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

} // namespace corvane::ssl
