"""The package's build: the extension convert3do._core, compiled from the
library's own sources in the project (../convert), so that the wheel works
by itself, with no library installed. Build it from a checkout:

    python3 -m venv --system-site-packages venv   # over Debian's setuptools and wheel
    venv/bin/pip install --no-build-isolation ./python
"""

import os

from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.relpath(os.path.join(HERE, ".."), HERE)
CORE = ["convert.cpp", "survey.cpp", "convert3do_c.cpp", "convert3do_alloc.cpp", "describe.cpp",
        "statuses.cpp"]

missing = [name for name in CORE if not os.path.exists(os.path.join(HERE, ROOT, "convert", name))]
if missing:
    raise SystemExit("convert3do: build the package from the project's checkout: "
                     "the library's sources (../convert) are not here")

setup(
    ext_modules=[
        Extension(
            "convert3do._core",
            sources=["convert3do/_core.cpp"] + [os.path.join(ROOT, "convert", n) for n in CORE],
            include_dirs=[ROOT, os.path.join(ROOT, "convert")],
            extra_compile_args=["-std=c++17", "-fno-exceptions", "-fno-rtti",
                                "-fvisibility=hidden", "-O2"],
            language="c++",
        )
    ],
)
