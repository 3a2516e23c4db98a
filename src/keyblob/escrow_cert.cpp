// SPDX-License-Identifier: MIT
// The vendor's certificate or public key, read and checked before a key is
// sealed to it.
#include "keyblob/escrow.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "util/io.h"
#include "util/report.h"
#include "util/secure_wipe.h"

namespace {

// A certificate is a few KiB. Only this much of CERT is read, so that a
// device or a huge file given by mistake cannot keep the run waiting.
constexpr size_t CERT_READ_MAX = size_t{64} * 1024;

constexpr int RSA_MIN_BITS = 2048;

// Reads up to CERT_READ_MAX bytes of `path`; the number read, or -1.
ssize_t read_cert_file(const char *path, char *text)
{
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return -1;
  const ssize_t total = read_until_full(fd, text, CERT_READ_MAX, nullptr);
  const int saved = errno;
  close(fd);
  errno = saved;
  return total;
}

// The kind of key for the refusal line ("RSA-1024", "EC secp521r1",
// "ED25519"), or "" for a key that is accepted.
void describe_refused_key(EVP_PKEY *key, char *kind, size_t kind_len)
{
  kind[0] = '\0';
  if (EVP_PKEY_is_a(key, "RSA")) {
    const int bits = EVP_PKEY_get_bits(key);
    if (bits < RSA_MIN_BITS)
      (void)snprintf(kind, kind_len, "RSA-%d", bits);
    return;
  }
  if (EVP_PKEY_is_a(key, "EC")) {
    char group[80] = "";
    if (EVP_PKEY_get_group_name(key, group, sizeof(group), nullptr) != 1 || group[0] == '\0')
      (void)snprintf(kind, kind_len, "EC (unnamed curve)");
    else if (strcmp(group, "prime256v1") != 0 && strcmp(group, "secp384r1") != 0)
      (void)snprintf(kind, kind_len, "EC %s", group);
    return;
  }
  const char *name = EVP_PKEY_get0_type_name(key);
  (void)snprintf(kind, kind_len, "%s", name != nullptr ? name : "unknown");
}

// A certificate that carries only `key` and its subjectKeyIdentifier: the CMS
// recipient of a bare public key, named by that identifier. It is never
// written out, but OpenSSL reads a certificate's extensions (the identifier
// among them) only from one it can encode, which takes a signature: a
// throwaway key signs it.
X509 *certificate_around(EVP_PKEY *key)
{
  X509 *certificate = X509_new();
  ASN1_OCTET_STRING *identifier = ASN1_OCTET_STRING_new();
  EVP_PKEY *signer = EVP_EC_gen("P-256");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  const bool made =
      certificate != nullptr && identifier != nullptr && signer != nullptr &&
      X509_set_version(certificate, X509_VERSION_3) == 1 && X509_set_pubkey(certificate, key) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(certificate), 0) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(certificate), 0) != nullptr &&
      X509_pubkey_digest(certificate, EVP_sha1(), digest, &digest_len) == 1 &&
      ASN1_OCTET_STRING_set(identifier, digest, static_cast<int>(digest_len)) == 1 &&
      X509_add1_ext_i2d(certificate, NID_subject_key_identifier, identifier, 0, X509V3_ADD_DEFAULT) == 1 &&
      X509_sign(certificate, signer, EVP_sha256()) > 0 && X509_get0_subject_key_id(certificate) != nullptr;
  EVP_PKEY_free(signer);
  ASN1_OCTET_STRING_free(identifier);
  if (made)
    return certificate;
  X509_free(certificate);
  return nullptr;
}

// The public key of a PEM block's DER (a reference of the caller's), and for
// a certificate the certificate; null when the DER is not wholly the block's
// type.
EVP_PKEY *parse_block(bool bare_key, const unsigned char *der, long der_len, X509 **certificate)
{
  const unsigned char *p = der;
  EVP_PKEY *key = nullptr;
  if (bare_key) {
    key = d2i_PUBKEY(nullptr, &p, der_len);
  } else {
    *certificate = d2i_X509(nullptr, &p, der_len);
    if (*certificate != nullptr)
      key = X509_get_pubkey(*certificate);
  }
  if (key != nullptr && p == der + der_len)
    return key;
  EVP_PKEY_free(key);
  X509_free(*certificate);
  *certificate = nullptr;
  return nullptr;
}

void hex_digest(const uint8_t *digest, size_t n, char *hex)
{
  static const char DIGITS[] = "0123456789abcdef";
  for (size_t i = 0; i < n; i++) {
    hex[2 * i] = DIGITS[digest[i] >> 4];
    hex[2 * i + 1] = DIGITS[digest[i] & 15];
  }
  hex[2 * n] = '\0';
}

// Checks the key and fills `cert` from one parsed PEM block. 0 or -1.
int accept_block(const char *path, const char *name, const unsigned char *der, long der_len, escrow_cert *cert)
{
  const bool bare_key = strcmp(name, PEM_STRING_PUBLIC) == 0;
  if (!bare_key && strcmp(name, PEM_STRING_X509) != 0) {
    if (strstr(name, "PRIVATE KEY") != nullptr)
      report_error(SCOPE_ESCROW_LOAD_CERT, "%s holds a private key, not a certificate", path);
    else
      report_error(SCOPE_ESCROW_LOAD_CERT, "%s is not a PEM certificate or public key", path);
    return -1;
  }
  X509 *certificate = nullptr;
  EVP_PKEY *key = parse_block(bare_key, der, der_len, &certificate);
  if (key == nullptr)
    return report_error(SCOPE_ESCROW_LOAD_CERT, "%s is not a PEM certificate or public key", path);
  char kind[96];
  describe_refused_key(key, kind, sizeof(kind));
  if (kind[0] == '\0' && bare_key)
    certificate = certificate_around(key);
  EVP_PKEY_free(key);
  if (kind[0] != '\0') {
    report_error(SCOPE_ESCROW_LOAD_CERT, "%s: %s key refused (RSA 2048+ or EC P-256/P-384 only)", path, kind);
    X509_free(certificate);
    return -1;
  }
  unsigned int digest_len = 0;
  if (certificate == nullptr ||
      EVP_Digest(der, static_cast<size_t>(der_len), cert->der_sha256, &digest_len, EVP_sha256(), nullptr) != 1 ||
      digest_len != ESCROW_CERT_HASH_LEN) {
    report_error(SCOPE_ESCROW_LOAD_CERT, "%s: cannot prepare the recipient", path);
    X509_free(certificate);
    return -1;
  }
  hex_digest(cert->der_sha256, ESCROW_CERT_HASH_LEN, cert->der_sha256_hex);
  cert->recipient = certificate;
  cert->bare_key = bare_key ? 1 : 0;
  return 0;
}

}  // namespace

int escrow_load_cert(const char *path, escrow_cert *cert)
{
  memset(cert, 0, sizeof(*cert));
  char *text = static_cast<char *>(malloc(CERT_READ_MAX));
  if (text == nullptr)
    return report_error(SCOPE_ESCROW_LOAD_CERT, "%s: cannot prepare the recipient", path);
  const ssize_t length = read_cert_file(path, text);
  if (length < 0) {
    report_error(SCOPE_ESCROW_LOAD_CERT, "cannot read %s: %s", path, strerror(errno));
    free(text);
    return -1;
  }
  BIO *file = BIO_new_mem_buf(text, static_cast<int>(length));
  char *name = nullptr;
  char *header = nullptr;
  unsigned char *der = nullptr;
  long der_len = 0;
  int result = -1;
  if (file != nullptr && PEM_read_bio(file, &name, &header, &der, &der_len) == 1)
    result = accept_block(path, name, der, der_len, cert);
  else
    report_error(SCOPE_ESCROW_LOAD_CERT, "%s is not a PEM certificate or public key", path);
  // A private key given by mistake is not left in freed memory.
  OPENSSL_clear_free(der, static_cast<size_t>(der_len));
  OPENSSL_free(name);
  OPENSSL_free(header);
  BIO_free(file);
  release_secret(text, CERT_READ_MAX);
  ERR_clear_error();
  return result;
}

void escrow_free_cert(escrow_cert *cert)
{
  X509_free(cert->recipient);
  memset(cert, 0, sizeof(*cert));
}

