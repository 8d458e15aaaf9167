"""Certificates for Basic256Sha256 (sign and encrypt) on both ends.

Each end has a certificate and a private key: given as files, or created
on first use in a PKI folder (``server-cert.der``/``server-key.pem`` for the
plant, ``controller-cert.der``/``controller-key.pem`` for the controller)
and reused after that. A secure plant server accepts a session only from a
client that identifies itself with a certificate found in the folder
``trusted/`` of its PKI folder (read anew for each session, so a certificate
copied in takes effect without a restart); an anonymous session is refused.
"""
import os
import socket
from pathlib import Path
from typing import Optional, Tuple

SERVER_URI = "urn:qxdcs:plant-server"
CLIENT_URI = "urn:qxdcs:controller"


async def certificate(pki: str, name: str, app_uri: str, server: bool,
                      cert: Optional[str] = None, key: Optional[str] = None) -> Tuple[str, str]:
    """The certificate and key files of one end: `cert`/`key` when given
    (both must exist), else `pki`/NAME-cert.der and NAME-key.pem, created
    when missing."""
    from asyncua.crypto.cert_gen import setup_self_signed_certificate
    from cryptography.x509.oid import ExtendedKeyUsageOID

    if cert or key:
        for path in (cert, key):
            if not path or not os.path.isfile(path):
                raise FileNotFoundError(f"no such file: {path}" if path else
                                        "give both a certificate and its key")
        return cert, key
    os.makedirs(pki, exist_ok=True)
    if server:
        os.makedirs(os.path.join(pki, "trusted"), exist_ok=True)
    cert_file = Path(pki, f"{name}-cert.der")
    key_file = Path(pki, f"{name}-key.pem")
    use = [ExtendedKeyUsageOID.SERVER_AUTH] if server else [ExtendedKeyUsageOID.CLIENT_AUTH]
    await setup_self_signed_certificate(key_file, cert_file, app_uri, socket.gethostname(), use,
                                        {"commonName": f"qxdcs {name}",
                                         "organizationName": "qxdcs"})
    return str(cert_file), str(key_file)


class TrustedCertificates:
    """A user manager for the plant server: a session whose identity is a
    certificate found in `folder` (DER or PEM files) is a user; any other
    (anonymous, unknown certificate) is refused."""

    def __init__(self, folder: str):
        self.folder = folder

    def _trusted(self):
        from asyncua.crypto import uacrypto
        from cryptography import x509

        out = set()
        try:
            names = sorted(os.listdir(self.folder))
        except OSError:
            return out
        for n in names:
            path = os.path.join(self.folder, n)
            try:
                with open(path, "rb") as f:
                    data = f.read()
                cert = (x509.load_pem_x509_certificate(data) if data.startswith(b"-----")
                        else x509.load_der_x509_certificate(data))
            except (OSError, ValueError):
                continue
            out.add(uacrypto.der_from_x509(cert))
        return out

    def get_user(self, iserver, username=None, password=None, certificate=None):
        from asyncua.crypto import uacrypto
        from asyncua.crypto.permission_rules import User, UserRole

        if certificate is None:
            return None
        der = certificate if isinstance(certificate, bytes) else uacrypto.der_from_x509(certificate)
        if der in self._trusted():
            return User(role=UserRole.User, name="controller")
        return None
