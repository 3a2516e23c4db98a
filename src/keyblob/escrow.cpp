// SPDX-License-Identifier: MIT
#include "keyblob/escrow.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "keyblob/key_blob_device.h"
#include "util/base64.h"
#include "util/secure_wipe.h"

namespace {

// A certificate is a few KiB. Only this much of CERT is read, so that a
// device or a huge file given by mistake cannot keep the run waiting.
constexpr size_t CERT_READ_MAX = size_t{64} * 1024;

constexpr int RSA_MIN_BITS = 2048;

// The key text and its newline, as the vendor gets it back.
constexpr size_t SEALED_TEXT_LEN = KEY_BASE64_LEN + 1;
static_assert(base64_encoded_length(KEY_LEN) == KEY_BASE64_LEN, "a key text is the base64 of the key");

// How far below its caller the encryption's stack reaches (OpenSSL's CMS,
// cipher, RSA and EC code), with a wide margin: measured at 3.3 KiB on
// x86-64, 5 KiB with the sanitizers.
constexpr size_t SEAL_STACK_BYTES = size_t{64} * 1024;

// Reads up to CERT_READ_MAX bytes of `path`; the number read, or -1.
ssize_t read_cert_file(const char *path, char *text)
{
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return -1;
  size_t total = 0;
  while (total < CERT_READ_MAX) {
    ssize_t n = read(fd, text + total, CERT_READ_MAX - total);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const int saved = errno;
      close(fd);
      errno = saved;
      return -1;
    }
    if (n == 0)
      break;
    total += static_cast<size_t>(n);
  }
  close(fd);
  return static_cast<ssize_t>(total);
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
      printf("[ERROR] %s: %s holds a private key, not a certificate\n", "escrow_load_cert", path);
    else
      printf("[ERROR] %s: %s is not a PEM certificate or public key\n", "escrow_load_cert", path);
    return -1;
  }
  X509 *certificate = nullptr;
  EVP_PKEY *key = parse_block(bare_key, der, der_len, &certificate);
  if (key == nullptr) {
    printf("[ERROR] %s: %s is not a PEM certificate or public key\n", "escrow_load_cert", path);
    return -1;
  }
  char kind[96];
  describe_refused_key(key, kind, sizeof(kind));
  if (kind[0] == '\0' && bare_key)
    certificate = certificate_around(key);
  EVP_PKEY_free(key);
  if (kind[0] != '\0') {
    printf("[ERROR] %s: %s: %s key refused (RSA 2048+ or EC P-256/P-384 only)\n", "escrow_load_cert", path, kind);
    X509_free(certificate);
    return -1;
  }
  unsigned int digest_len = 0;
  if (certificate == nullptr ||
      EVP_Digest(der, static_cast<size_t>(der_len), cert->der_sha256, &digest_len, EVP_sha256(), nullptr) != 1 ||
      digest_len != ESCROW_CERT_HASH_LEN) {
    printf("[ERROR] %s: %s: cannot prepare the recipient\n", "escrow_load_cert", path);
    X509_free(certificate);
    return -1;
  }
  hex_digest(cert->der_sha256, ESCROW_CERT_HASH_LEN, cert->der_sha256_hex);
  cert->recipient = certificate;
  cert->bare_key = bare_key ? 1 : 0;
  return 0;
}

// The recipient's key parameters: RSAES-OAEP with SHA-256 (OpenSSL's default
// would be PKCS#1 v1.5), and the X9.63 key derivation over SHA-256 for ECDH
// (its default would be SHA-1). The KDF type itself stays unset: the CMS code
// sets X9.63 and refuses any other.
bool set_key_parameters(EVP_PKEY_CTX *context, const EVP_PKEY *key)
{
  if (EVP_PKEY_is_a(key, "RSA"))
    return EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING) > 0 &&
           EVP_PKEY_CTX_set_rsa_oaep_md(context, EVP_sha256()) > 0 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(context, EVP_sha256()) > 0;
  return EVP_PKEY_CTX_set_ecdh_kdf_md(context, EVP_sha256()) > 0;
}

// The whole encryption, in a frame of its own that the caller wipes
// afterwards. The text goes straight into the cipher BIO that CMS_dataInit
// returns, instead of through CMS_final: its copy loop reads through a 1 KiB
// stack buffer into a 4 KiB buffering BIO that is freed without being wiped.
// The cipher BIO's context and the cipher's own buffers are cleansed when
// freed, and the content key too; the output memory BIO holds ciphertext.
__attribute__((noinline)) int seal_text(const escrow_cert *cert, const uint8_t *key, uint8_t **sealed,
                                        size_t *sealed_len)
{
  char text[SEALED_TEXT_LEN + 1];
  base64_encode(key, KEY_LEN, text);
  text[KEY_BASE64_LEN] = '\n';
  text[SEALED_TEXT_LEN] = '\0';

  const unsigned int flags = CMS_BINARY | CMS_PARTIAL | CMS_KEY_PARAM | (cert->bare_key ? CMS_USE_KEYID : 0);
  CMS_ContentInfo *cms = CMS_encrypt_ex(nullptr, nullptr, EVP_aes_256_cbc(), flags, nullptr, nullptr);
  CMS_RecipientInfo *recipient = cms != nullptr ? CMS_add1_recipient_cert(cms, cert->recipient, flags) : nullptr;
  EVP_PKEY_CTX *context = recipient != nullptr ? CMS_RecipientInfo_get0_pkey_ctx(recipient) : nullptr;
  BIO *content = nullptr;
  if (context != nullptr && set_key_parameters(context, X509_get0_pubkey(cert->recipient)))
    content = CMS_dataInit(cms, nullptr);
  bool encrypted = content != nullptr &&
                   BIO_write(content, text, static_cast<int>(SEALED_TEXT_LEN)) == static_cast<int>(SEALED_TEXT_LEN) &&
                   BIO_flush(content) == 1 && CMS_dataFinal(cms, content) == 1;
  secure_wipe(text, sizeof(text));
  BIO_free_all(content);

  const int der_len = encrypted ? i2d_CMS_ContentInfo(cms, nullptr) : -1;
  uint8_t *der = der_len > 0 ? static_cast<uint8_t *>(malloc(static_cast<size_t>(der_len))) : nullptr;
  unsigned char *end = der;
  int result = -1;
  if (der != nullptr && i2d_CMS_ContentInfo(cms, &end) == der_len) {
    *sealed = der;
    *sealed_len = static_cast<size_t>(der_len);
    der = nullptr;
    result = 0;
  }
  free(der);
  CMS_ContentInfo_free(cms);
  return result;
}

// Wipes the stack below the caller's frame, where seal_text and OpenSSL ran.
__attribute__((noinline)) void wipe_stack_below()
{
  unsigned char area[SEAL_STACK_BYTES];
  secure_wipe(area, sizeof(area));
}

// AES-NI and NEON code keeps blocks of the text in vector registers. On
// AArch64 every variadic function (printf) saves q0-q7 on the stack, so that
// they would land there later; clear the caller-saved ones now.
void forget_vector_registers()
{
#if defined(__aarch64__)
  __asm__ __volatile__("movi v0.16b, #0\n movi v1.16b, #0\n movi v2.16b, #0\n movi v3.16b, #0\n"
                       "movi v4.16b, #0\n movi v5.16b, #0\n movi v6.16b, #0\n movi v7.16b, #0\n"
                       "movi v16.16b, #0\n movi v17.16b, #0\n movi v18.16b, #0\n movi v19.16b, #0\n"
                       "movi v20.16b, #0\n movi v21.16b, #0\n movi v22.16b, #0\n movi v23.16b, #0\n"
                       "movi v24.16b, #0\n movi v25.16b, #0\n movi v26.16b, #0\n movi v27.16b, #0\n"
                       "movi v28.16b, #0\n movi v29.16b, #0\n movi v30.16b, #0\n movi v31.16b, #0\n" ::
                           : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18", "v19", "v20", "v21",
                             "v22", "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31");
#elif defined(__x86_64__)
  __asm__ __volatile__(
      "pxor %%xmm0, %%xmm0\n pxor %%xmm1, %%xmm1\n pxor %%xmm2, %%xmm2\n pxor %%xmm3, %%xmm3\n"
      "pxor %%xmm4, %%xmm4\n pxor %%xmm5, %%xmm5\n pxor %%xmm6, %%xmm6\n pxor %%xmm7, %%xmm7\n"
      "pxor %%xmm8, %%xmm8\n pxor %%xmm9, %%xmm9\n pxor %%xmm10, %%xmm10\n pxor %%xmm11, %%xmm11\n"
      "pxor %%xmm12, %%xmm12\n pxor %%xmm13, %%xmm13\n pxor %%xmm14, %%xmm14\n pxor %%xmm15, %%xmm15\n" ::
          : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
            "xmm13", "xmm14", "xmm15");
#endif
}

}  // namespace

int escrow_load_cert(const char *path, escrow_cert *cert)
{
  memset(cert, 0, sizeof(*cert));
  char *text = static_cast<char *>(malloc(CERT_READ_MAX));
  if (text == nullptr) {
    printf("[ERROR] %s: %s: cannot prepare the recipient\n", "escrow_load_cert", path);
    return -1;
  }
  const ssize_t length = read_cert_file(path, text);
  if (length < 0) {
    printf("[ERROR] %s: cannot read %s: %s\n", "escrow_load_cert", path, strerror(errno));
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
    printf("[ERROR] %s: %s is not a PEM certificate or public key\n", "escrow_load_cert", path);
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

int escrow_seal_key(const escrow_cert *cert, const uint8_t *key, uint8_t **sealed, size_t *sealed_len)
{
  *sealed = nullptr;
  *sealed_len = 0;
  const int result = cert->recipient != nullptr ? seal_text(cert, key, sealed, sealed_len) : -1;
  wipe_stack_below();
  forget_vector_registers();
  ERR_clear_error();
  if (result != 0)
    printf("[ERROR] %s: CMS encryption failed\n", "escrow_seal_key");
  return result;
}
