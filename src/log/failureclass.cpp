#include "log/failureclass.h"

namespace updater {

namespace {

std::optional<FailureClass> lastFailure;

} // namespace

const char* failureClassName(FailureClass failure)
{
    switch (failure) {
    case FailureClass::configuration:
        return "configuration";
    case FailureClass::lock:
        return "lock";
    case FailureClass::network:
        return "network";
    case FailureClass::tls:
        return "tls";
    case FailureClass::authentication:
        return "authentication";
    case FailureClass::proxy:
        return "proxy";
    case FailureClass::metadataSignature:
        return "metadata-signature";
    case FailureClass::metadataRollback:
        return "metadata-rollback";
    case FailureClass::metadata:
        return "metadata";
    case FailureClass::checksum:
        return "checksum";
    case FailureClass::dependency:
        return "dependency";
    case FailureClass::packageSignature:
        return "package-signature";
    case FailureClass::diskSpace:
        return "disk-space";
    case FailureClass::rpm:
        return "rpm";
    case FailureClass::hook:
        return "hook";
    case FailureClass::clock:
        return "clock";
    case FailureClass::interrupted:
        return "interrupted";
    }
    return "unknown";
}

void noteFailure(FailureClass failure) { lastFailure = failure; }

std::optional<FailureClass> notedFailure() { return lastFailure; }

} // namespace updater
