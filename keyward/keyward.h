/// @file
/// @brief keyward: typed access to the persistent store (PS keys) of a chip over KVCMD.
///
/// A host tool creates a concrete KVCMD transport (a kvcmd_trans), hands it to a PsKvcmd, which
/// then owns it, and binds a CKeyWarder to that server for typed reads and writes:
///
///     PsKvcmd server(new MyTransport(...));
///     CKeyWarder keys(&server);
///     uint16_t value;
///     if (keys.pskv_get_uint16(0x01F9, value)) { ... }
///
/// Failures are reported through the server's kvcmd_trans_error_handler, never thrown.
#pragma once

#include <keyward/canned.h>
#include <keyward/chipid.h>
#include <keyward/errorhandler.h>
#include <keyward/export.h>
#include <keyward/keywarder.h>
#include <keyward/knownkeys.h>
#include <keyward/kvcmd_trans.h>
#include <keyward/memoryreader.h>
#include <keyward/pdu.h>
#include <keyward/powertable.h>
#include <keyward/pscache.h>
#include <keyward/psfile.h>
#include <keyward/pskey_entry.h>
#include <keyward/pskvcmd.h>
#include <keyward/psserver.h>
#include <keyward/sltable.h>
#include <keyward/widetext.h>
