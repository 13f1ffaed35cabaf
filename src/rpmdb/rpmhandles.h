// Owning handles for the rpm library objects of this subsystem, each freed
// with the library's own function.
#pragma once

#include <memory>
#include <type_traits>

#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmio.h>

#include "platform/rpm54.h"

namespace updater {

struct IteratorFree {
    void operator()(rpmdbMatchIterator mi) const { rpmmiFree(mi); }
};
using Iterator = std::unique_ptr<rpmdbMatchIterator_s, IteratorFree>;

// A header the caller owns (one read from a package file, not one handed out
// by an iterator, which stays the iterator's).
struct HeaderFree {
    void operator()(Header header) const { headerFree(header); }
};
using HeaderHandle = std::unique_ptr<headerToken_s, HeaderFree>;

struct StreamClose {
    void operator()(FD_t fd) const { Fclose(fd); }
};
using Stream = std::unique_ptr<std::remove_pointer_t<FD_t>, StreamClose>;

} // namespace updater
