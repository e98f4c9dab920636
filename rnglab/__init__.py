"""The lab around openssl_rng: everything it reads, computes, draws and runs.

  record     the five-line record the program appends: its format, parsing,
             reading and export
  stats      summaries, comparisons, intervals and change points
  text       aligned text tables and the summary, comparison and change texts
  plots      pictures (matplotlib, Agg)
  variants   libcrypto builds, generator configurations and variants
  runner     variants run interleaved in rounds, each in its own folder
  cli        one module per command; the commands at tools/ and bench/ are
             launchers of a few lines
"""
