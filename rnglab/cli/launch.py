"""How a launcher starts its command: the command's module imported, then
its main run. The libraries take a second or two to load (scipy most), and
Ctrl-C meanwhile ends the command as it does later, in one line with status
130 (rnglab.cli._shell), not with a traceback. Nothing heavy is imported
here."""

import importlib
import sys


def start(prog, module):
    """main() of rnglab.cli's module, or 130 for Ctrl-C while it loads."""
    try:
        main = importlib.import_module(module).main
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    return main()
