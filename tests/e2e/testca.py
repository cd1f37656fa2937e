"""A certificate authority made for one test run with openssl, and the server certificates HTTPS
tests need: one for "localhost", one for another name, one expired, and one from an authority the
prefix does not trust. The authority is trusted only inside the test's Wine prefix: its
certificate goes into the current user's root store there, as the registry holds that store."""
import hashlib
import os
import shutil
import struct
import subprocess
import tempfile

from sharehost import reg_import

ROOTS_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\SystemCertificates\Root\Certificates"
# The serialized store element that holds a certificate's encoded bytes.
CERT_PROP_ID = 0x20

_CA_CONFIG = """[ca]
default_ca = c
[c]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = p
unique_subject = no
[p]
commonName = supplied
[server]
subjectAltName = DNS:%s
extendedKeyUsage = serverAuth
basicConstraints = CA:FALSE
"""


def _openssl(folder, *args):
    subprocess.run(["openssl", *args], cwd=folder, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


class TestCA:
    """Files in .dir: ca.pem/ca.der and (certificate, key) pairs from server(). The authority
    lives two days, so a run never meets its expiry."""

    def __init__(self, name="Wexa Test CA"):
        self.dir = tempfile.mkdtemp(prefix="wexa-ca-")
        self.name = name
        _openssl(self.dir, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                 "-days", "2", "-subj", "/CN=%s" % name, "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        _openssl(self.dir, "x509", "-in", "ca.pem", "-outform", "der", "-out", "ca.der")
        with open(os.path.join(self.dir, "index.txt"), "w"):
            pass
        with open(os.path.join(self.dir, "serial"), "w") as f:
            f.write("1000\n")

    def server(self, label, host="localhost", start=None, end=None):
        """(certificate file, key file) for host, valid from now for two days, or from start to
        end (openssl times such as 20200101000000Z)."""
        conf = os.path.join(self.dir, label + ".cnf")
        with open(conf, "w") as f:
            f.write(_CA_CONFIG % host)
        _openssl(self.dir, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", label + ".key", "-out", label + ".csr",
                 "-subj", "/CN=%s" % host)
        dates = ["-startdate", start, "-enddate", end] if start else ["-days", "2"]
        _openssl(self.dir, "ca", "-batch", "-config", conf, "-cert", "ca.pem", "-keyfile", "ca.key", "-in",
                 label + ".csr", "-out", label + ".pem", "-extensions", "server", "-notext", *dates)
        return os.path.join(self.dir, label + ".pem"), os.path.join(self.dir, label + ".key")

    def trust_in_prefix(self):
        """Adds the authority to the prefix's root store: the registry key named by the
        certificate's SHA-1, whose "Blob" holds the certificate as a serialized store element."""
        with open(os.path.join(self.dir, "ca.der"), "rb") as f:
            der = f.read()
        blob = struct.pack("<III", CERT_PROP_ID, 1, len(der)) + der
        thumb = hashlib.sha1(der).hexdigest().upper()
        reg_import(["[%s\\%s]" % (ROOTS_KEY, thumb), '"Blob"=hex:' + ",".join("%02x" % b for b in blob)])

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)
