# The small PKI of the OCSP tests and the reference reading of OCSP requests and responses, with Debian's
# python3-cryptography.
#   make DIR     writes the CA, leaves, responders, request signers and the responder's index.txt
#   resp FILE    "producedAt keyhash-or-name" then per answer "status thisUpdate nextUpdate revoked reason serial"
#   req FILE     "serial hash-algorithm nonce-hex"
import datetime
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import dsa, ec, ed25519, rsa
from cryptography.x509 import ocsp
from cryptography.x509.oid import AuthorityInformationAccessOID, ExtendedKeyUsageOID, NameOID, ObjectIdentifier

NOW = datetime.datetime.utcnow().replace(microsecond=0)
DAY = datetime.timedelta(days=1)
OCSP_URL = "http://ocsp.velmora.test/status"
ISSUER_URL = "http://ca.velmora.test/ca.crt"
REASONS = {"unspecified": 0, "key_compromise": 1, "ca_compromise": 2, "affiliation_changed": 3, "superseded": 4,
           "cessation_of_operation": 5, "certificate_hold": 6, "remove_from_crl": 8, "privilege_withdrawn": 9,
           "aa_compromise": 10}


def name(cn, org="Velmora Test"):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn), x509.NameAttribute(NameOID.ORGANIZATION_NAME, org)])


def write(folder, stem, key, cert):
    with open(f"{folder}/{stem}.pem", "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(f"{folder}/{stem}.key", "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))


def issue(subject, key, issuer, signer, serial, before=-1, after=365, ca=False, eku=None, aia=None, hashing=True):
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(key.public_key())
               .serial_number(serial).not_valid_before(NOW + before * DAY).not_valid_after(NOW + after * DAY))
    if ca:
        builder = builder.add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
    if eku:
        builder = builder.add_extension(x509.ExtendedKeyUsage([ObjectIdentifier(o) for o in eku]), critical=False)
    if aia:
        builder = builder.add_extension(x509.AuthorityInformationAccess(aia), critical=False)
    return builder.sign(signer, hashes.SHA256() if hashing else None)


def make(folder):
    rsa_key = lambda: rsa.generate_private_key(65537, 2048)
    ca_key, ca_name = rsa_key(), name("Velmora OCSP CA")
    ca = issue(ca_name, ca_key, ca_name, ca_key, 1, after=3650, ca=True)
    write(folder, "ca", ca_key, ca)
    ocsp_ad = x509.AccessDescription(AuthorityInformationAccessOID.OCSP, x509.UniformResourceIdentifier(OCSP_URL))
    issuers_ad = x509.AccessDescription(AuthorityInformationAccessOID.CA_ISSUERS,
                                        x509.UniformResourceIdentifier(ISSUER_URL))
    index = []
    leaves = [("leaf1", 0x1001, [ocsp_ad, issuers_ad]), ("leaf2", 0x1002, [ocsp_ad]), ("leaf3", 0x1003, [ocsp_ad]),
              ("noaia", 0x1004, None)]
    for stem, serial, aia in leaves:
        key = ec.generate_private_key(ec.SECP256R1())
        cert = issue(name("OCSP " + stem), key, ca_name, ca_key, serial, aia=aia)
        write(folder, stem, key, cert)
        expiry = (NOW + 365 * DAY).strftime("%y%m%d%H%M%SZ")
        if stem == "leaf1":
            index.append(f"V\t{expiry}\t\t{serial:X}\tunknown\t/CN=OCSP {stem}/O=Velmora Test")
        if stem == "leaf2":
            revoked = (NOW - 3 * DAY).strftime("%y%m%d%H%M%SZ")
            index.append(f"R\t{expiry}\t{revoked},keyCompromise\t{serial:X}\tunknown\t/CN=OCSP {stem}/O=Velmora Test")
    with open(f"{folder}/index.txt", "w") as f:
        f.write("\n".join(index) + "\n")
    signing = [ExtendedKeyUsageOID.OCSP_SIGNING.dotted_string]
    rogue_key = rsa_key()
    responders = [("delegate", ca_name, ca_key, -1, 365, signing), ("expired", ca_name, ca_key, -10, 10, signing),
                  ("eku90", ca_name, ca_key, -1, 365, ["1.3.6.1.5.5.7.3.90"]),
                  ("rogue", ca_name, rogue_key, -1, 365, signing)]
    for stem, issuer, signer, before, after, eku in responders:
        key = rsa_key()
        write(folder, stem, key, issue(name("Responder " + stem), key, issuer, signer, 0x2000 + len(stem),
                                       before=before, after=after, eku=eku))
    fake_key = rsa_key()
    write(folder, "fakeca", fake_key, issue(ca_name, fake_key, ca_name, fake_key, 1, after=3650, ca=True))
    case_key = ec.generate_private_key(ec.SECP256R1())
    case_name = name("velmora OCSP ca", "VELMORA TEST")
    write(folder, "caseca", case_key, issue(case_name, case_key, case_name, case_key, 7))
    other_key = ec.generate_private_key(ec.SECP256R1())
    write(folder, "other", other_key, issue(name("Other CA"), other_key, name("Other CA"), other_key, 8))
    ec_ca_key, ec_ca_name = ec.generate_private_key(ec.SECP256R1()), name("Velmora EC CA")
    write(folder, "ecca", ec_ca_key, issue(ec_ca_name, ec_ca_key, ec_ca_name, ec_ca_key, 9, ca=True))
    ec_leaf_key = ec.generate_private_key(ec.SECP256R1())
    write(folder, "ecleaf", ec_leaf_key, issue(name("OCSP ecleaf"), ec_leaf_key, ec_ca_name, ec_ca_key, 0x1001))
    for stem, key, hashing in [("sign_rsa", rsa_key(), True), ("sign_p256", ec.generate_private_key(ec.SECP256R1()), True),
                               ("sign_ed25519", ed25519.Ed25519PrivateKey.generate(), False),
                               ("sign_dsa", dsa.generate_private_key(2048), True)]:
        write(folder, stem, key, issue(name("Requestor " + stem), key, name("Requestor " + stem), key, 3,
                                       hashing=hashing))


def stamp(value):
    return value.strftime("%Y%m%d%H%M%S") if value is not None else "-"


def resp(path):
    with open(path, "rb") as f:
        response = ocsp.load_der_ocsp_response(f.read())
    if response.response_status != ocsp.OCSPResponseStatus.SUCCESSFUL:
        print("status", response.response_status.value)
        return
    key_hash = response.responder_key_hash
    print(stamp(response.produced_at), key_hash.hex() if key_hash is not None else "name")
    statuses = {ocsp.OCSPCertStatus.GOOD: 0, ocsp.OCSPCertStatus.REVOKED: 1, ocsp.OCSPCertStatus.UNKNOWN: 2}
    for single in response.responses:
        reason = single.revocation_reason
        print(statuses[single.certificate_status], stamp(single.this_update), stamp(single.next_update),
              stamp(single.revocation_time), REASONS[reason.name] if reason is not None else 0,
              format(single.serial_number, "x"))


def req(path):
    with open(path, "rb") as f:
        request = ocsp.load_der_ocsp_request(f.read())
    nonce = "-"
    for extension in request.extensions:
        if isinstance(extension.value, x509.OCSPNonce):
            nonce = extension.value.nonce.hex()
    print(format(request.serial_number, "x"), request.hash_algorithm.name, nonce)


if __name__ == "__main__":
    {"make": make, "resp": resp, "req": req}[sys.argv[1]](sys.argv[2])
