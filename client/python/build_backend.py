"""Builds tobrin's wheel and source archive for pip, with the standard library only.

pip runs this from the source tree (pyproject.toml names it), so `pip install ./client/python`
needs nothing from the network and no build package installed: the one module is written
into a zip file beside the metadata that the wheel format asks for.
"""

import base64
import hashlib
import io
import os
import tarfile
import zipfile

NAME, VERSION = "tobrin", "0.1.0"
HERE = os.path.dirname(os.path.abspath(__file__))
DIST_INFO = "%s-%s.dist-info" % (NAME, VERSION)
METADATA = """Metadata-Version: 2.1
Name: %s
Version: %s
Summary: Write messages into a Tobrin log server's pipe (standard library only)
License: MIT
Requires-Python: >=3.7
""" % (NAME, VERSION)
WHEEL = """Wheel-Version: 1.0
Generator: tobrin build_backend
Root-Is-Purelib: true
Tag: py3-none-any
"""


def _read(name):
    with open(os.path.join(HERE, name), "rb") as f:
        return f.read()


def _write_wheel(directory, files):
    """A wheel holding `files` (name -> bytes) and the dist-info; returns its file name."""
    files = dict(files)
    files[DIST_INFO + "/METADATA"] = METADATA.encode()
    files[DIST_INFO + "/WHEEL"] = WHEEL.encode()
    record = ""
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record += "%s,sha256=%s,%d\n" % (name, digest, len(data))
    files[DIST_INFO + "/RECORD"] = (record + DIST_INFO + "/RECORD,,\n").encode()
    wheel_name = "%s-%s-py3-none-any.whl" % (NAME, VERSION)
    with zipfile.ZipFile(os.path.join(directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            wheel.writestr(name, data)
    return wheel_name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, {"tobrin.py": _read("tobrin.py")})


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A .pth line puts the source folder on sys.path, so edits take effect at once.
    return _write_wheel(wheel_directory, {"tobrin.pth": (HERE + "\n").encode()})


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, VERSION)
    files = {"PKG-INFO": METADATA.encode()}
    for name in ("pyproject.toml", "build_backend.py", "tobrin.py"):
        files[name] = _read(name)
    with tarfile.open(os.path.join(sdist_directory, base + ".tar.gz"), "w:gz",
                      format=tarfile.PAX_FORMAT) as archive:
        for name, data in files.items():
            info = tarfile.TarInfo("%s/%s" % (base, name))
            info.size, info.mode = len(data), 0o644
            archive.addfile(info, io.BytesIO(data))
    return base + ".tar.gz"
