set(FUZZ_LIBS updater_identity)
