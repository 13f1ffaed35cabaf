// The machine-readable account of a run for fleet operators,
// /var/lib/updater/status.json: what the run is, where it stands and how it
// ended. It is rewritten as a whole (temporary file, fsync, rename, fsync of
// the directory) at every change of the state word and at exit, so a reader,
// or the next start after a crash, finds a complete record. Its fields are
// described by docs/status.schema.json; the status and update-state files
// stay the device's interface as before.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "driver/status.h"

namespace updater {

constexpr const char* STATUS_RECORD_FILE = "/var/lib/updater/status.json";
constexpr int STATUS_RECORD_SCHEMA_VERSION = 1;

// A URI for the record: user and password ("user:password@") dropped.
std::string uriWithoutCredentials(const std::string& uri);

// "2024-05-01T12:00:00Z".
std::string isoTime(time_t time);

class StatusRecord {
public:
    // The one record of the process.
    static StatusRecord& instance();

    StatusRecord(const StatusRecord&) = delete;
    StatusRecord& operator=(const StatusRecord&) = delete;

    // The run's mode and start; the record is written from finish() on, or
    // from activate() on.
    void begin(const char* mode, time_t started);
    void setProduct(const std::string& product) { m_product = product; }
    void setRepository(const std::string& id, const std::string& uri);
    void setRevision(const std::string& revision) { m_revision = revision; }
    // The installed version-release of the release package, when there is one.
    void setRelease(std::optional<std::string> release) { m_release = std::move(release); }
    void setPass(unsigned pass) { m_pass = pass; }
    // The first run that selects packages sets the count; later runs select
    // parts of the same update.
    void noteSelection(unsigned count);
    void addInstalled(unsigned count) { m_installed += count; }
    // True when the record on disk is one of a run that never finished: the
    // process that wrote it was killed. Only meaningful under the cache lock.
    bool previousRunUnfinished() const;
    // The previous run ended without finishing; the status file read this.
    void noteInterruptedRun(SystemStatus state);

    // The process holds the cache lock: the record is written now and at
    // every state change.
    void activate();
    void stateChanged(SystemStatus state);
    // The run ends with this exit code; the final record is written.
    void finish(int exitCode);
    // This process leaves the run to its background child, which writes the record.
    void abandon() { m_abandoned = true; }

    // The record as it would be written now.
    std::string text() const;

private:
    StatusRecord() = default;
    void write();

    const char* m_mode = "update";
    time_t m_started = 0;
    std::optional<time_t> m_ended;
    std::optional<int> m_exitCode;
    std::string m_product;
    std::optional<std::string> m_release;
    std::optional<unsigned> m_pass;
    std::optional<SystemStatus> m_state;
    unsigned m_selected = 0;
    unsigned m_installed = 0;
    std::optional<std::string> m_repositoryId;
    std::optional<std::string> m_repositoryUri;
    std::optional<std::string> m_revision;
    std::optional<SystemStatus> m_interruptedState;
    bool m_active = false;
    bool m_abandoned = false;
    bool m_writeFailed = false; // warned once
};

} // namespace updater
