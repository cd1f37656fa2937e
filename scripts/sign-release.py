#!/usr/bin/env python3
"""Signs installers for the share program's updater: ECDSA P-256 signatures, each the 64 raw
bytes r then s in Base64. Two are made for WexaShare-<version>.exe, and the web service sends
both with /update.php:

- INSTALLER.vsig, over the SHA-256 of "Wexa-Share update <version>\n" followed by the installer
  (header X-Wexa-Version-Signature, beside X-Wexa-Version): programs after 1.2.1 require it, so
  an older installer cannot be passed off as a newer one;
- INSTALLER.sig, over the SHA-256 of the installer alone (header X-Wexa-Signature): what 1.2.1
  and earlier verify.

The program verifies against the public key it was built with (CMake setting
WEXA_UPDATE_PUBLIC_KEY, the hex of X then Y).

    sign-release.py keygen KEY.pem           new key pair; prints the public key's hex
    sign-release.py public KEY.pem           prints the public key's hex
    sign-release.py sign KEY.pem INSTALLER   writes INSTALLER.sig and INSTALLER.vsig beside it
                                             (INSTALLER named WexaShare-<version>.exe)

The release key never lives in the repository: keep it offline (the default place, used when
KEY.pem is "-", is ~/.wexa-share/release-update-key.pem, or WEXA_RELEASE_KEY). Tests make a
throw-away key pair of their own. Needs the openssl command (Debian's openssl package).
"""
import base64
import os
import re
import subprocess
import sys

DEFAULT_KEY = os.environ.get("WEXA_RELEASE_KEY",
                             os.path.expanduser("~/.wexa-share/release-update-key.pem"))


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True, check=True).stdout


def key_path(text):
    return DEFAULT_KEY if text == "-" else text


def keygen(path):
    if os.path.exists(path):
        sys.exit("%s exists; not overwriting a key" % path)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    pem = openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout")
    # Readable by its owner only, from the first byte on.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "wb") as out:
        out.write(pem)
    return public_hex(path)


def public_hex(path):
    der = openssl("ec", "-in", path, "-pubout", "-outform", "DER")
    # The SubjectPublicKeyInfo ends with the uncompressed point 04 || X || Y.
    point = der[-65:]
    if point[0] != 4:
        sys.exit("unexpected public key encoding")
    return point[1:].hex()


def der_integer(data, at):
    if data[at] != 0x02:
        raise ValueError("not an INTEGER")
    length = data[at + 1]
    value = int.from_bytes(data[at + 2:at + 2 + length], "big")
    return value, at + 2 + length


def raw_signature(der):
    """ECDSA-Sig-Value (SEQUENCE of r and s) to 64 bytes r || s."""
    if der[0] != 0x30:
        raise ValueError("not a SEQUENCE")
    at = 2 if der[1] < 0x80 else 2 + (der[1] & 0x7F)
    r, at = der_integer(der, at)
    s, _ = der_integer(der, at)
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def signature(path, data):
    return base64.b64encode(raw_signature(openssl("dgst", "-sha256", "-sign", path, data=data))).decode()


def signed_version_text(version):
    """What the version-bound signature covers ahead of the installer's bytes."""
    return b"Wexa-Share update %d\n" % version


def version_signature(path, version, data):
    return signature(path, signed_version_text(version) + data)


def release_version(installer):
    match = re.fullmatch(r"WexaShare-([1-9][0-9]{0,7})\.exe", os.path.basename(installer))
    if not match:
        sys.exit("%s: the installer must be named WexaShare-<version>.exe" % installer)
    return int(match.group(1))


def sign(path, installer):
    version = release_version(installer)
    with open(installer, "rb") as f:
        data = f.read()
    for suffix, text in ((".sig", signature(path, data)), (".vsig", version_signature(path, version, data))):
        with open(installer + suffix, "w") as out:
            out.write(text + "\n")


def main(argv):
    if len(argv) == 2 and argv[0] == "keygen":
        print(keygen(key_path(argv[1])))
    elif len(argv) == 2 and argv[0] == "public":
        print(public_hex(key_path(argv[1])))
    elif len(argv) == 3 and argv[0] == "sign":
        sign(key_path(argv[1]), argv[2])
        print("wrote %s.sig and %s.vsig" % (argv[2], argv[2]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
