"""Prints what vellix finds in a sample file (default: the bundled sample)."""
import sys

import vellix

print("vellix", vellix.__version__)
