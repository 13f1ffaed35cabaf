// The program's word and version text, as shown in logs and handed to hooks.
#pragma once

namespace updater {

constexpr const char* PROGRAM_WORD = "updater";
constexpr const char* UPDATER_VERSION = "1.8.3";

} // namespace updater
