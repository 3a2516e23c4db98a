// SPDX-License-Identifier: MIT
// The key text sealed to the vendor's certificate, once escrow_cert.cpp has
// read and checked it.
#include "keyblob/escrow.h"

#include <cstdlib>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "keyblob/key_blob_device.h"
#include "util/base64.h"
#include "util/report.h"
#include "util/secure_wipe.h"

namespace {

// The key text and its newline, as the vendor gets it back.
constexpr size_t SEALED_TEXT_LEN = KEY_BASE64_LEN + 1;
static_assert(base64_encoded_length(KEY_LEN) == KEY_BASE64_LEN, "a key text is the base64 of the key");

// How far below its caller the encryption's stack reaches (OpenSSL's CMS,
// cipher, RSA and EC code), with a wide margin: measured at 3.3 KiB on
// x86-64, 5 KiB with the sanitizers.
constexpr size_t SEAL_STACK_BYTES = size_t{64} * 1024;

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

int escrow_seal_key(const escrow_cert *cert, const uint8_t *key, uint8_t **sealed, size_t *sealed_len)
{
  *sealed = nullptr;
  *sealed_len = 0;
  const int result = cert->recipient != nullptr ? seal_text(cert, key, sealed, sealed_len) : -1;
  wipe_stack_below();
  forget_vector_registers();
  ERR_clear_error();
  if (result != 0)
    report_error(SCOPE_ESCROW_SEAL_KEY, "CMS encryption failed");
  return result;
}
