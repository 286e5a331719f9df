import sys

from shredder.cli import main

sys.exit(main())
