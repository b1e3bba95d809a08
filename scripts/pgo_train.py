"""The run that Release builds record their execution profile over (see CMakeLists.txt): every
PDF file of the folders given, extracted one file at a time with its images, its links, and
then all of them in parallel. Files that fail are passed over; a folder without PDF files
records nothing, and the build then goes without a profile.

    python3 scripts/pgo_train.py FOLDER...      (the instrumented module on PYTHONPATH)
"""
import pathlib
import sys

import vellix

files = sorted(str(p) for folder in sys.argv[1:] for p in pathlib.Path(folder).rglob("*.pdf"))
for path in files:
    try:
        vellix.extract(path, page_parallel=False)
        vellix.extract_links(path)
    except Exception:
        pass
if files:
    vellix.extract_many(files, include_images=True)
print(f"profile recorded over {len(files)} files")
