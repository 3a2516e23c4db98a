// SPDX-License-Identifier: MIT
// The recovery key sealed to a vendor certificate or key made by the real
// openssl, opened by "openssl cms -decrypt -inkey vendor.key" as the vendor
// opens it, no copy left in the dead stack or the heap; or refused in a line.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "keyblob/escrow.h"
#include "support/board.h"
#include "support/capture.h"
#include "support/cases.h"
#include "support/run_program.h"
#include "util/base64.h"

namespace {

#if LOCKWARDEN_ESCROW

// The key, then its text and newline: new for each case, so that none finds
// what an earlier one left in the test's own buffers; static, so outside the
// memory searched.
uint8_t secret[32 + 46];
char *const text = reinterpret_cast<char *>(secret + 32);

// Any 8-byte window of `secret` in [from, to): byte loops (the sanitizers
// would check a memcmp against freed memory), inlined so that no frame of its
// own overwrites the stack searched.
__attribute__((always_inline, no_sanitize_address)) inline bool holds_secret(uintptr_t from, uintptr_t to)
{
  for (const volatile uint8_t *p = reinterpret_cast<uint8_t *>(from); reinterpret_cast<uintptr_t>(p) + 8 <= to; p++)
    for (size_t i = 0; i + 8 <= 32 + 45; i++) {
      size_t same = 0;
      while (same < 8 && p[same] == secret[i + same])
        same++;
      if (same == 8)
        return true;
    }
  return false;
}

// The dead stack below this frame, 48 KiB deep (the sealing wipes 64, so it
// is mapped), then malloc's arena, the [heap] mapping (none under the
// sanitizers and some qemu-user).
__attribute__((noinline, no_sanitize_address)) const char *secret_left_behind()
{
  volatile uint8_t marker = 0;
  const uintptr_t top = reinterpret_cast<uintptr_t>(&marker) - 8;
  if (holds_secret(top - 48 * 1024, top))
    return "stack";
  static char maps[65536];
  FILE *f = fopen("/proc/self/maps", "r");
  maps[fread(maps, 1, sizeof(maps) - 1, f)] = '\0';
  fclose(f);
  const char *heap = strstr(maps, "[heap]");
  while (heap != nullptr && heap > maps && heap[-1] != '\n')
    heap--;
  unsigned long low = 0, high = 0;
  return heap != nullptr && sscanf(heap, "%lx-%lx", &low, &high) == 2 && holds_secret(low, high) ? "heap" : nullptr;
}

// req makes a self-signed certificate, key a bare public key; vendor.key is
// the private key.
const std::string MAKERS =
    "req() { openssl req -x509 -nodes -subj /CN=vendor -days 1 -keyout vendor.key -out cert.pem -newkey \"$@\"; }; "
    "key() { openssl genpkey -out vendor.key -algorithm \"$@\" && openssl pkey -in vendor.key -pubout -out cert.pem; "
    "}; ";
#define ECDH "dhSinglePass-stdDH-sha256kdf-scheme", "id-aes256-wrap"
#define WEAK " key refused (RSA 2048+ or EC P-256/P-384 only)"

struct vendor_case {
  const char *name;
  const char *make;        // shell commands in the case's folder
  const char *refused;     // the line after "[ERROR] escrow_load_cert: ", CERT for the path; null: sealed
  const char *printed[3];  // in `openssl cms -cmsout -print` of the sealed bytes
};

const vendor_case CASES[] = {
    {"rsa2048_certificate", "req rsa:2048", nullptr, {"rsaesOaep", ":sha256", "d.issuerAndSerialNumber"}},
    {"rsa2048_key",
     "key RSA -pkeyopt rsa_keygen_bits:2048",
     nullptr,
     {"rsaesOaep", ":sha256", "d.subjectKeyIdentifier"}},
    {"p256_certificate", "req ec -pkeyopt ec_paramgen_curve:P-256", nullptr, {ECDH, "d.issuerAndSerialNumber"}},
    {"p384_key", "key EC -pkeyopt ec_paramgen_curve:P-384", nullptr, {ECDH, "d.rKeyId"}},
    {"rsa1024_certificate", "req rsa:1024", "CERT: RSA-1024" WEAK, {}},
    {"secp256k1_certificate", "req ec -pkeyopt ec_paramgen_curve:secp256k1", "CERT: EC secp256k1" WEAK, {}},
    {"p521_key", "key EC -pkeyopt ec_paramgen_curve:P-521", "CERT: EC secp521r1" WEAK, {}},
    {"ed25519_certificate", "req ed25519", "CERT: ED25519" WEAK, {}},
    {"private_key", "req rsa:1024 && cp vendor.key cert.pem", "CERT holds a private key, not a certificate", {}},
    {"garbage", "echo no certificate >cert.pem", "CERT is not a PEM certificate or public key", {}},
    {"missing", "true", "cannot read CERT: No such file or directory", {}},
};

class escrow_openssl : public testing::TestWithParam<vendor_case> {
  void SetUp() override
  {
    if (run_shell("command -v openssl").status != 0)
      GTEST_SKIP() << "no openssl";
  }
};

TEST_P(escrow_openssl, seals_for_the_vendor_or_refuses)
{
  const vendor_case &c = GetParam();
  board dir;
  const std::string cert_path = dir.path("/cert.pem"), in_dir = "cd " + dir.root + " && ";
  ASSERT_EQ(run_shell(in_dir + MAKERS + c.make + " 2>/dev/null").status, 0);
  escrow_cert cert;
  int result = 0;
  const std::string out = captured_output(1, [&] { result = escrow_load_cert(cert_path.c_str(), &cert); });
  if (c.refused != nullptr) {
    std::string line = c.refused;
    EXPECT_EQ(out, "[ERROR] escrow_load_cert: " + line.replace(line.find("CERT"), 4, cert_path) + "\n");
    EXPECT_EQ(result, -1);
    return;
  }
  ASSERT_EQ(result, 0) << out;
  const std::string der = cert.bare_key ? "pkey -pubin" : "x509";
  EXPECT_EQ(cert.der_sha256_hex,
            run_shell(in_dir + "openssl " + der + " -outform DER <cert.pem | sha256sum").out.substr(0, 64));

  static int row = 0;
  row++;
  for (int i = 0; i < 32; i++)
    secret[i] = static_cast<uint8_t>(i * 37 + row * 101 + 1);
  base64_encode(secret, 32, text);
  text[44] = '\n';
  const bool search = !under_valgrind();  // memcheck forbids reading freed and dead memory
  uint8_t *sealed = nullptr;
  size_t sealed_len = 0;
  result = escrow_seal_key(&cert, secret, &sealed, &sealed_len);
  const char *left = search ? secret_left_behind() : nullptr;
  escrow_free_cert(&cert);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(left, nullptr) << "a copy of the recovery key in the " << left;
  dir.write("/sealed.der", std::string(reinterpret_cast<char *>(sealed), sealed_len));
  free(sealed);

  const program_result opened = run_shell(in_dir + "openssl cms -decrypt -inform DER -in sealed.der -inkey vendor.key");
  EXPECT_EQ(opened.out, text) << opened.err;
  const std::string printed = run_shell(in_dir + "openssl cms -cmsout -print -inform DER -in sealed.der").out;
  for (const char *expected : {c.printed[0], c.printed[1], c.printed[2], "aes-256-cbc"})
    EXPECT_NE(printed.find(expected), std::string::npos) << expected << " not in\n" << printed;
}

NAMED_CASES(escrow_openssl, vendor_case, CASES);

#else

TEST(escrow_stub, says_it_was_built_without_escrow)
{
  escrow_cert cert;
  EXPECT_EQ(captured_output(1, [&] { EXPECT_EQ(escrow_load_cert("cert.pem", &cert), -1); }),
            "[ERROR] escrow_load_cert: built without escrow support\n");
}

#endif

}  // namespace
