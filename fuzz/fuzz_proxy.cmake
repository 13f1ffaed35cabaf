set(FUZZ_LIBS updater_config)
