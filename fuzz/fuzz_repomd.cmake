set(FUZZ_LIBS updater_repodata updater_records updater_log PkgConfig::LIBXML2 PkgConfig::RPM)
