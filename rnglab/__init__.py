"""The lab around openssl_rng: everything it reads, computes, draws and runs.
Each report is computed as data, then printed, drawn or written as JSON.

  record       the five-line record the program appends: its format,
               parsing, reading and export
  stats        every statistic, with its one bootstrap setting
  text         numbers, tables, verdicts and tools/series' texts
  labtext      bench/compare-openssl's tables as text
  plots        pictures (matplotlib, Agg)
  variants     libcrypto builds, generator configurations, variants and
               references
  matrix       the variants a comparison's axes make
  runner       variants run interleaved in rounds, each in its own folder
  runs         what one run printed and appended, read
  signals      SIGINT, SIGTERM and SIGHUP, taken alike by every command
  provenance   what ran where, as text and as data
  comparison   bench/compare-openssl from start to end
  labreport    its builds, generators, sizes, threads and processors tables
  sources      other generators: their list, versions and table
  lifecycle    every call's count: reseeds, fork, the tail
  kept         compare-openssl --quality
  figures      bench/check-figures' references and report
  changebench  bench/check-changes' measurements
  quality      tests of generator output; scan, the reading that feeds them;
               units, a file's requests or blocks; qualitytext, the words
  files        files written whole, appends and locks
  process      the checkout, quiet steps, and lines on standard error
  argtypes     every option's type
  errors       LabError
  cli          one module per command, and _shell, how each ends; the
               commands at tools/ and bench/ are launchers of a few lines
"""
