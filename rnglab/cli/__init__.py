"""One module per command, each with its own main(argv)."""
