"""Where the package is installed, and what it exports."""

import os
import site
import subprocess
import sys
import sysconfig

import pytest

import ondira

INSTALL_DIR = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python", "install_dir.py")


def install_dir(prefix):
    return subprocess.run([sys.executable, INSTALL_DIR, prefix], capture_output=True, text=True,
                          check=True).stdout.strip()


def test_installed_into_a_folder_of_the_interpreter_that_lies_in_the_prefix():
    for prefix in ("/usr/local", "/usr"):
        inside = [f for f in site.getsitepackages() if f.startswith(prefix + os.sep)]
        if not inside:
            continue
        folder = os.path.join(prefix, install_dir(prefix))
        assert folder in sys.path, f"{folder} is not on sys.path"
        assert folder in inside


VERSION = f"{sys.version_info.major}.{sys.version_info.minor}"


@pytest.mark.skipif(f"/usr/local/lib/python{VERSION}/dist-packages" not in site.getsitepackages(),
                    reason="not Debian's interpreter")
def test_debian_usr_local_is_the_folder_already_on_sys_path():
    assert install_dir("/usr/local") == f"lib/python{VERSION}/dist-packages"


def test_another_prefix_gets_the_standard_site_packages_folder(tmp_path):
    expected = sysconfig.get_path("platlib", "posix_prefix", vars={"base": str(tmp_path), "platbase": str(tmp_path)})
    assert install_dir(str(tmp_path)) == os.path.relpath(expected, tmp_path)


def test_the_public_names():
    assert set(ondira.__all__) <= set(dir(ondira))
    assert issubclass(ondira.DeviceError, OSError)
    assert ondira.SAMPLE_RATE == 250 and ondira.CHANNEL_COUNT == 4
    assert ondira.Status(6).name == "FTDI_LIBRARY_ERROR" and ondira.Status(6).type == "ERROR"
    with pytest.raises(TypeError):
        ondira.set_verbose("yes")
