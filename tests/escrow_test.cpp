// SPDX-License-Identifier: MIT
// The recovery key sealed to a vendor certificate or public key that the real
// openssl made, and opened by it as the vendor opens it:
//   openssl cms -decrypt -inform DER -in sealed.der -inkey vendor.key
// then no copy of the key or its text in the dead stack or the heap; and the
// vendor files refused, each with its one line.
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

// A new key per case, so that no case finds what an earlier one left in
// the test's own buffers; static, out of the stack and heap searched.
uint8_t recovery_key[32];
char recovery_text[46];

// Any 8-byte window of the key or its text in [from, to): byte loops, no
// memcmp, which the sanitizers would check against freed memory; inlined, so
// that no frame of its own overwrites the stack it searches.
__attribute__((always_inline, no_sanitize_address)) inline bool holds_secret(uintptr_t from, uintptr_t to)
{
  const uint8_t *secrets[2] = {recovery_key, reinterpret_cast<const uint8_t *>(recovery_text)};
  const size_t lengths[2] = {32, 44};
  for (const volatile uint8_t *p = reinterpret_cast<const uint8_t *>(from); reinterpret_cast<uintptr_t>(p) + 8 <= to; p++)
    for (int s = 0; s < 2; s++)
      for (size_t i = 0; i + 8 <= lengths[s]; i++) {
        size_t same = 0;
        while (same < 8 && p[same] == secrets[s][i + same])
          same++;
        if (same == 8)
          return true;
      }
  return false;
}

// The start and end of the mapping named `name` ("[stack]", "[heap]") in
// /proc/self/maps; 0 and 0 when there is none (the heap under the
// sanitizers, and under some qemu-user).
void mapping(const char *name, uintptr_t *low, uintptr_t *high)
{
  static char maps[65536];
  *low = *high = 0;
  FILE *f = fopen("/proc/self/maps", "r");
  const size_t n = fread(maps, 1, sizeof(maps) - 1, f);
  fclose(f);
  maps[n] = '\0';
  unsigned long start = 0, end = 0;
  for (char *line = strtok(maps, "\n"); line != nullptr; line = strtok(nullptr, "\n"))
    if (strstr(line, name) != nullptr && sscanf(line, "%lx-%lx", &start, &end) == 2) {
      *low = start;
      *high = end;
      return;
    }
}

// The dead stack below this frame (from `stack_low`, found before the
// search, which would overwrite it), then the heap.
__attribute__((noinline, no_sanitize_address)) const char *secret_left_behind(uintptr_t stack_low)
{
  volatile uint8_t marker = 0;
  if (holds_secret(stack_low, reinterpret_cast<uintptr_t>(&marker) - 8))
    return "stack";
  uintptr_t low = 0, high = 0;
  mapping("[heap]", &low, &high);
  return holds_secret(low, high) ? "heap" : nullptr;
}

// Shell functions for the rows: req makes a self-signed certificate, key a
// bare public key, both with the vendor's private key in vendor.key.
const std::string MAKERS =
    "req() { openssl req -x509 -nodes -subj /CN=vendor -days 1 -keyout vendor.key -out cert.pem -newkey \"$@\"; }; "
    "key() { openssl genpkey -out vendor.key \"$@\" && openssl pkey -in vendor.key -pubout -out cert.pem; }; ";
constexpr const char *EC = "dhSinglePass-stdDH-sha256kdf-scheme";

struct vendor_case {
  const char *name;
  const char *make;     // shell commands in the case's directory
  const char *refused;  // the line after "[ERROR] escrow_load_cert: ", CERT for the path; null: sealed
  const char *printed[3];  // in `openssl cms -cmsout -print` of the sealed bytes
};

const vendor_case OPENSSL_CASES[] = {
    {"rsa2048_certificate", "req rsa:2048", nullptr, {"rsaesOaep", ":sha256", "d.issuerAndSerialNumber"}},
    {"rsa2048_public_key", "key -algorithm RSA -pkeyopt rsa_keygen_bits:2048", nullptr,
     {"rsaesOaep", ":sha256", "d.subjectKeyIdentifier"}},
    {"p256_certificate", "req ec -pkeyopt ec_paramgen_curve:P-256", nullptr, {EC, "id-aes256-wrap", "d.issuerAndSerialNumber"}},
    {"p384_public_key", "key -algorithm EC -pkeyopt ec_paramgen_curve:P-384", nullptr, {EC, "id-aes256-wrap", "d.rKeyId"}},
    {"rsa1024_certificate", "req rsa:1024", "CERT: RSA-1024 key refused (RSA 2048+ or EC P-256/P-384 only)", {}},
    {"secp256k1_certificate", "req ec -pkeyopt ec_paramgen_curve:secp256k1",
     "CERT: EC secp256k1 key refused (RSA 2048+ or EC P-256/P-384 only)", {}},
    {"p521_public_key", "key -algorithm EC -pkeyopt ec_paramgen_curve:P-521",
     "CERT: EC secp521r1 key refused (RSA 2048+ or EC P-256/P-384 only)", {}},
    {"ed25519_certificate", "req ed25519", "CERT: ED25519 key refused (RSA 2048+ or EC P-256/P-384 only)", {}},
    {"private_key", "key -algorithm EC -pkeyopt ec_paramgen_curve:P-256 && cp vendor.key cert.pem",
     "CERT holds a private key, not a certificate", {}},
};
const vendor_case FILE_CASES[] = {
    {"missing", "true", "cannot read CERT: No such file or directory", {}},
    {"garbage", "echo not a certificate >cert.pem", "CERT is not a PEM certificate or public key", {}},
    {"truncated", "printf -- '-----BEGIN CERTIFICATE-----\\nMIIB\\n-----END CERTIFICATE-----\\n' >cert.pem",
     "CERT is not a PEM certificate or public key", {}},
};

void check_vendor_file(const vendor_case &c)
{
  board dir;
  const std::string cert_path = dir.path("/cert.pem");
  ASSERT_EQ(run_shell("cd " + dir.root + " && " + MAKERS + c.make + " 2>/dev/null").status, 0);
  escrow_cert cert;
  int result = 0;
  const std::string out = captured_output(1, [&] { result = escrow_load_cert(cert_path.c_str(), &cert); });
  if (c.refused != nullptr) {
    std::string line = c.refused;
    line.replace(line.find("CERT"), 4, cert_path);
    EXPECT_EQ(out, "[ERROR] escrow_load_cert: " + line + "\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(cert.recipient, nullptr);
    return;
  }
  ASSERT_EQ(result, 0) << out;
  const std::string der = cert.bare_key ? "pkey -pubin" : "x509";
  EXPECT_EQ(cert.der_sha256_hex,
            run_shell("cd " + dir.root + " && openssl " + der + " -in cert.pem -outform DER | sha256sum").out.substr(0, 64));

  static int row = 0;
  row++;
  for (int i = 0; i < 32; i++)
    recovery_key[i] = static_cast<uint8_t>(i * 37 + row * 101 + 1);
  base64_encode(recovery_key, 32, recovery_text);
  recovery_text[44] = '\n';
  // Memcheck forbids reading below the stack pointer and freed blocks.
  const bool search = !under_valgrind();
  uintptr_t stack_low = 0, stack_high = 0;
  mapping("[stack]", &stack_low, &stack_high);
  uint8_t *sealed = nullptr;
  size_t sealed_len = 0;
  result = escrow_seal_key(&cert, recovery_key, &sealed, &sealed_len);
  const char *left = search ? secret_left_behind(stack_low) : nullptr;
  escrow_free_cert(&cert);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(left, nullptr) << "a copy of the recovery key in the " << left;
  dir.write("/sealed.der", std::string(reinterpret_cast<char *>(sealed), sealed_len));
  free(sealed);

  const program_result opened =
      run_shell("cd " + dir.root + " && openssl cms -decrypt -inform DER -in sealed.der -inkey vendor.key");
  EXPECT_EQ(opened.status, 0) << opened.err;
  EXPECT_EQ(opened.out, recovery_text);
  uint8_t decoded[34] = {};
  base64_decode_string(opened.out.substr(0, 44).c_str(), decoded);
  EXPECT_EQ(memcmp(decoded, recovery_key, 32), 0);
  const std::string printed = run_shell("openssl cms -cmsout -print -inform DER -in " + dir.path("/sealed.der")).out;
  EXPECT_NE(printed.find("aes-256-cbc"), std::string::npos) << printed;
  for (const char *expected : c.printed)
    EXPECT_NE(printed.find(expected), std::string::npos) << expected << " not in\n" << printed;
}

class escrow_openssl : public testing::TestWithParam<vendor_case> {
  void SetUp() override
  {
    if (run_shell("command -v openssl").status != 0)
      GTEST_SKIP() << "no openssl";
  }
};
TEST_P(escrow_openssl, seals_for_the_vendor_or_refuses) { check_vendor_file(GetParam()); }
NAMED_CASES(escrow_openssl, vendor_case, OPENSSL_CASES);

class escrow_file : public testing::TestWithParam<vendor_case> {};
TEST_P(escrow_file, refuses) { check_vendor_file(GetParam()); }
INSTANTIATE_TEST_SUITE_P(cases, escrow_file, testing::ValuesIn(FILE_CASES),
                         [](const testing::TestParamInfo<vendor_case> &row) { return std::string(row.param.name); });

#else

TEST(escrow_stub, says_it_was_built_without_escrow)
{
  escrow_cert cert;
  std::string out = captured_output(1, [&] { EXPECT_EQ(escrow_load_cert("cert.pem", &cert), -1); });
  EXPECT_EQ(out, "[ERROR] escrow_load_cert: built without escrow support\n");
  const uint8_t key[32] = {};
  uint8_t *sealed = nullptr;
  size_t sealed_len = 0;
  out = captured_output(1, [&] { EXPECT_EQ(escrow_seal_key(&cert, key, &sealed, &sealed_len), -1); });
  EXPECT_EQ(out, "[ERROR] escrow_seal_key: built without escrow support\n");
  EXPECT_EQ(sealed, nullptr);
}

#endif

}  // namespace
