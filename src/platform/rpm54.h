// The rpm 5.4 interfaces this program is written against, provided over the
// rpm 4.18 libraries of this platform. Every difference between the two rpm
// versions is kept in this unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmpgp.h>
#include <rpm/rpmsq.h>
#include <rpm/rpmts.h>

namespace updater {

// Signal queue registration. With a signal number (and a handler or none)
// registers the signal and returns the number of registrations, 1 for the
// first. With the negated number releases one registration and returns the
// number left, 0 when released (-1 when the signal was not registered).
// The updater installs its own actions over the registration; rpm 4.18 runs
// no transaction in this process, so no rpm handler is involved.
int rpmsqEnable(int signum, rpmsqAction_t handler);

// Score of a platform text "arch-vendor-os[-gnu]" against rpm's configured
// platform: 0 when packages of that platform cannot be installed here. rpm
// 4.18 has no platform patterns for this; the arch is scored with the install
// arch table and the os must be the one rpm is configured for.
int rpmPlatformScore(const char* platform, void* patterns, int npatterns);

// Database iteration under rpm 5.4's names.
inline Header rpmmiNext(rpmdbMatchIterator mi) { return rpmdbNextIterator(mi); }
inline rpmdbMatchIterator rpmmiFree(rpmdbMatchIterator mi) { return rpmdbFreeIterator(mi); }

// Whether the database back end is Berkeley DB (rpm 5.4: "%{_dbapi}" is 3;
// rpm 4.18: "%{_db_backend}" is "bdb"), the only one db_recover can repair.
bool rpmDbIsBerkeley();

// The transaction's OpenPGP digest for the packet printer. rpm 4.18 keeps no
// digest in the transaction set: one is made on first use and dropped by
// rpmtsCleanDig, which also switches the printer's output off again.
pgpDig rpmtsDig(rpmts ts);
void rpmtsCleanDig(rpmts ts);

// The key IDs of the key and subkey packets of one decoded public key; false
// when the packets are malformed. Supplied by the caller's OpenPGP parser.
using PublicKeyIdsFunction = bool (*)(const uint8_t* data, size_t size, std::vector<std::array<uint8_t, 8>>& ids);

// rpm 5.4 finds the "gpg-pubkey" entry of a key through its public-key index:
// rpmtsInitIterator with RPMTAG_PUBKEYS and the key's 8-byte ID, no iterator
// when the index has no such key. rpm 4.18 has no such index. This walks the
// "gpg-pubkey" entries, decodes every Base64 text of their RPMTAG_PUBKEYS
// arrays and compares the full 8-byte ID of each key and subkey packet (from
// `keyIds`) with `keyId`. Returns an iterator over the first entry holding the
// key, or null when none does or keyIdLength is not 8. Texts that do not
// decode or parse hold no key here; reading the keys reports them.
rpmdbMatchIterator rpmtsInitPubkeyIterator(rpmts ts, const uint8_t* keyId, size_t keyIdLength,
                                           PublicKeyIdsFunction keyIds);

} // namespace updater
