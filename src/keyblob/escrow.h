// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// The recovery key sealed to the vendor: its text (the 44-character base64 of
// the 32 key bytes and a newline) as a CMS EnvelopedData (RFC 5652, DER) that
// only the holder of the vendor's private key opens, with
//   openssl cms -decrypt -inform DER -in sealed.der -inkey vendor.key
// The board keeps the sealed bytes and never the key's plain form.
//
// The vendor's CERT file is a PEM certificate ("CERTIFICATE") or a PEM public
// key ("PUBLIC KEY", a SubjectPublicKeyInfo); its first PEM block counts. Keys
// accepted: RSA of 2048 bits or more (sealed with RSAES-OAEP, SHA-256 and
// MGF1-SHA-256), EC P-256 or P-384 (ECDH with an ephemeral key and the X9.63
// key derivation over SHA-256, dhSinglePass-stdDH-sha256kdf-scheme, the key
// wrapped with AES-256 key wrap). The content is encrypted with AES-256-CBC.
// A certificate names its recipient by issuer and serial number, a bare key
// by its subjectKeyIdentifier (SHA-1 of the key's BIT STRING, RFC 5280's
// first method).
//
// In a build without LOCKWARDEN_ESCROW every function but escrow_free_cert
// fails with "[ERROR] <function>: built without escrow support".

constexpr size_t ESCROW_CERT_HASH_LEN = 32;

struct x509_st;  // OpenSSL's X509

struct escrow_cert {
  x509_st *recipient;  // owned; for a bare key, a certificate made in memory around it
  int bare_key;        // nonzero: CERT is a public key, named by its key identifier
  // SHA-256 of CERT's DER (the certificate's; for a bare key, the
  // SubjectPublicKeyInfo's), as read from the file, in bytes and in
  // lower-case hex: the recovery token records which vendor key it needs.
  uint8_t der_sha256[ESCROW_CERT_HASH_LEN];
  char der_sha256_hex[2 * ESCROW_CERT_HASH_LEN + 1];
};

// Reads and checks CERT. 0, or -1 after one line:
//   "[ERROR] escrow_load_cert: cannot read PATH: REASON"
//   "[ERROR] escrow_load_cert: PATH holds a private key, not a certificate"
//   "[ERROR] escrow_load_cert: PATH is not a PEM certificate or public key"
//   "[ERROR] escrow_load_cert: PATH: KIND key refused (RSA 2048+ or EC P-256/P-384 only)"
//     (KIND such as RSA-1024, EC secp521r1, ED25519, DSA)
//   "[ERROR] escrow_load_cert: PATH: cannot prepare the recipient"
// On failure `cert` holds nothing to free; on success escrow_free_cert
// releases it.
[[nodiscard]] int escrow_load_cert(const char *path, escrow_cert *cert);
void escrow_free_cert(escrow_cert *cert);

// Seals the text of the KEY_LEN bytes at `key` to `cert`. On success
// *sealed is the DER (malloc'd, the caller frees it; not secret) and
// *sealed_len its length; 0. Otherwise -1 after
//   "[ERROR] escrow_seal_key: CMS encryption failed"
// and *sealed is null. The key text lives only within the call and is wiped
// there; the stack the encryption used is wiped before it returns.
[[nodiscard]] int escrow_seal_key(const escrow_cert *cert, const uint8_t *key, uint8_t **sealed, size_t *sealed_len);
