import sys

from benchmarks.run import main

sys.exit(main())
