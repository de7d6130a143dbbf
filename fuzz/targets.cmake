# The fuzz targets: fuzz/<name>.cpp each, seeded from fuzz/corpus/<name>/,
# with the crashers they found kept in fuzz/regressions/<name>/.
set(MIRABEX_FUZZ_TARGETS hl7_records validation escape json_reader assembly message_stream
    json_writer)
