"""Prints the folder, relative to an installation prefix, where the ondira
package is installed for this interpreter.

A folder of the interpreter's own site-packages that lies in the prefix wins,
the one nearest to the prefix (for /usr/local on Debian that is
lib/python3.X/dist-packages, already on sys.path); otherwise the platform
library path of the interpreter's scheme for prefix installations
(lib/python3.X/site-packages), which then has to be put on PYTHONPATH.

Usage: python3 install_dir.py PREFIX
"""

import os
import site
import sys
import sysconfig


def install_dir(prefix: str) -> str:
    prefix = os.path.realpath(prefix)
    inside = []
    for folder in site.getsitepackages():
        relative = os.path.relpath(os.path.realpath(folder), prefix)
        if relative != os.curdir and not relative.startswith(os.pardir + os.sep) and relative != os.pardir:
            inside.append(relative)
    if inside:
        return min(inside, key=lambda relative: len(relative.split(os.sep)))
    scheme = "posix_prefix" if "posix_prefix" in sysconfig.get_scheme_names() else sysconfig.get_default_scheme()
    folder = sysconfig.get_path("platlib", scheme, vars={"base": prefix, "platbase": prefix})
    return os.path.relpath(folder, prefix)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print(install_dir(sys.argv[1]))
