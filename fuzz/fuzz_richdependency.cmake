set(FUZZ_LIBS updater_evr)
