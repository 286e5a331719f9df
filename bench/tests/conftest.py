import sys
from pathlib import Path

# The benchmark modules live beside this folder and are imported by their plain names.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
