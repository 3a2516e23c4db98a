// SPDX-License-Identifier: MIT
// The sealed recovery key in a build without LOCKWARDEN_ESCROW: the program
// stays on the C library alone, and asking for the seal says why it cannot.
#include "keyblob/escrow.h"

#include <cstdio>
#include <cstring>

#include "util/report.h"

int escrow_load_cert(const char * /*path*/, escrow_cert *cert)
{
  memset(cert, 0, sizeof(*cert));
  report_error(SCOPE_ESCROW_LOAD_CERT, "built without escrow support");
  return -1;
}

void escrow_free_cert(escrow_cert *cert) { memset(cert, 0, sizeof(*cert)); }

int escrow_seal_key(const escrow_cert * /*cert*/, const uint8_t * /*key*/, uint8_t **sealed, size_t *sealed_len)
{
  *sealed = nullptr;
  *sealed_len = 0;
  report_error(SCOPE_ESCROW_SEAL_KEY, "built without escrow support");
  return -1;
}
