// The kind of failure that ended a run, for the status record. The list is
// fixed and documented: operators sort their fleet by it. The site that
// knows why a step failed notes the class beside its error line; the last
// class noted stands.
#pragma once

#include <optional>

namespace updater {

enum class FailureClass {
    configuration,
    lock,
    network,
    tls,
    authentication,
    proxy,
    metadataSignature,
    metadataRollback,
    metadata,
    checksum,
    dependency,
    packageSignature,
    diskSpace,
    rpm,
    hook,
    clock,
    interrupted,
};

// The class's name in the status record ("metadata-signature", ...).
const char* failureClassName(FailureClass failure);

// Notes the class of a failure that ends the step it happened in.
void noteFailure(FailureClass failure);

// The class noted last in this process, if any.
std::optional<FailureClass> notedFailure();

} // namespace updater
