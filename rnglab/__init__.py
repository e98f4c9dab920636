"""The lab around openssl_rng: everything it reads, computes, draws and runs.
Each report is computed as data, then printed, drawn or written as JSON.

  record       the five-line record the program appends: its format,
               parsing, reading and export, the results file's name and
               the program's block
  stats        every comparison, interval and summary, with its one
               bootstrap setting
  sequential   rounds until decided: the looks, their intervals and verdicts
  stopping     when a command's rounds stop
  noise        the host's noise around a run, the runs marked noisy, and
               their table
  reseeds      periodic reseeds found in every call's count
  variants     libcrypto builds, generator configurations, variants and
               references
  matrix       the variants a comparison's axes make
  randlab      rand_lab's standard output read as data lines, and its
               limits and sources
  runner       variants run interleaved in rounds, each in its own folder
  runs         what one run printed and appended, read
  signals      SIGINT, SIGTERM and SIGHUP, taken alike by every command
  provenance   what ran where, as text and as data
  comparison   bench/compare-openssl from start to end
  sources      other generators: their list, versions and table
  lifecycle    every call's count: reseeds, fork, the tail
  sourcelife   each source's life: its reseeds against the documented ones
  answer       the cheapest fork-safe generator per size, OpenSSL's place
  forksafety   the fork checks' verdicts, or else the documented ones
  documented   what each source's library documents of itself
  views        compare-openssl --views: the views of a call and their table
  kept         compare-openssl --quality
  figures      bench/check-figures' references and report
  changebench  bench/check-changes' measurements
  quality      tests of generator output; scan, the reading that feeds them;
               units, a file's requests or blocks
  report       every report: labreport (bench/compare-openssl's tables as
               data), text (numbers, tables, verdicts, tools/series'
               texts), labtext, fleettext and qualitytext (tables as
               text), plots (matplotlib, Agg), and one HTML page per report
               (html, pictures, pages)
  files        files written whole, appends and locks
  process      the checkout, quiet steps, and lines on standard error
  argtypes     every option's type
  errors       LabError
  cli          one module per command, and _shell, how each ends; the
               commands at tools/ and bench/ are launchers of a few lines,
               through cli.launch
"""
