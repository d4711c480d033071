"""Where cmake --install puts the package."""

import os
import site
import subprocess
import sys
import sysconfig

INSTALL_DIR = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python", "install_dir.py")


def install_dir(prefix):
    return subprocess.run([sys.executable, INSTALL_DIR, prefix], capture_output=True, text=True,
                          check=True).stdout.strip()


def test_installed_into_a_folder_of_the_interpreter_that_lies_in_the_prefix():
    # Debian's interpreter has folders in both; /usr/local is the default prefix.
    checked = 0
    for prefix in ("/usr/local", "/usr"):
        inside = [f for f in site.getsitepackages() if f.startswith(prefix + os.sep)]
        if inside:
            folder = os.path.join(prefix, install_dir(prefix))
            assert folder in sys.path, f"{folder} is not on sys.path"
            assert folder in inside
            checked += 1
    assert checked > 0, f"no site-packages folder of {sys.executable} lies in /usr/local or /usr"


def test_another_prefix_gets_the_standard_site_packages_folder(tmp_path):
    expected = sysconfig.get_path("platlib", "posix_prefix", vars={"base": str(tmp_path), "platbase": str(tmp_path)})
    assert install_dir(str(tmp_path)) == os.path.relpath(expected, tmp_path)
