"""python demo/lacet_demo, or python -m lacet_demo with demo/ on the path."""
import os
import sys
from pathlib import Path

# The host's exact search is one small matrix-vector product per memory: BLAS
# threads only add hand-over costs there, which grow badly on a busy machine.
# Set before numpy loads; an explicit setting wins.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

if not __package__:  # run as a folder: make the package importable by its name
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from lacet_demo.cli import main  # noqa: E402

main()
