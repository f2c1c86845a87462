# Reference answers for the DER reader over real structures, printed one record per input:
#   F <name> <hex of the DER>          the input (PEM inputs decoded; every PEM block is an input)
#   E <offset> <depth> <header length> <content length or -1 for indefinite> <1 constructed / 0 primitive>
#                                     each element of the first top-level element, as
#                                     `openssl asn1parse -inform DER -i` prints it (end-of-contents lines left out)
#   X                                  asn1parse refused the input (no element lines follow)
#   O <offset> <dotted text>           each OBJECT IDENTIFIER, read by asn1crypto
#   B <offset> <bit count>             each primitive BIT STRING, read by asn1crypto
#   S <hex>                            a certificate's serial number (non-negative), read by asn1crypto
#   T <notBefore> <notAfter>           a certificate's validity as yyyymmddHHMMSS, read by cryptography
#   T!                                 cryptography refused the certificate's validity times
#   P <dotted text>                    a certificate's policy identifier (inside its extension), by asn1crypto
#   H                                  the input uses the high-tag-number form (not read by the walk)
# Argument: a scratch folder for the files made here (a CMS message signed with -stream, so with
# indefinite lengths, and a certificate with a 2.25.<UUID> policy OID).
import base64, concurrent.futures, glob, os, re, subprocess, sys

import asn1crypto.core
import asn1crypto.x509
import cryptography_vectors
from cryptography import x509

scratch = sys.argv[1]
vectors = os.path.dirname(cryptography_vectors.__file__)
patterns = ["x509/*.pem", "x509/*.der", "x509/custom/*", "x509/PKITS_data/certs/*", "x509/PKITS_data/crls/*",
            "x509/PKITS_data/pkcs12/*", "x509/requests/*", "x509/ocsp/*", "pkcs7/*", "pkcs12/*",
            "asymmetric/PKCS8/*"]
files = []
for p in patterns:
    files += sorted(f for f in glob.glob(os.path.join(vectors, p)) if os.path.isfile(f))
files += sorted(glob.glob("/usr/share/ca-certificates/mozilla/*.crt"))


def run(args, data=None):
    return subprocess.run(args, input=data, capture_output=True)


def make_generated():
    key, cert = os.path.join(scratch, "key.pem"), os.path.join(scratch, "cert.pem")
    policy = os.path.join(scratch, "policy.der")
    run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=t",
         "-days", "30", "-addext", "certificatePolicies=2.25.329800735698586629295641978511506172918",
         "-keyout", key, "-out", cert])
    run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", policy])
    message, cms = os.path.join(scratch, "message.txt"), os.path.join(scratch, "stream.cms")
    with open(message, "w") as f:
        f.write("a message signed with streaming\n" * 50)
    run(["openssl", "cms", "-sign", "-stream", "-outform", "DER", "-in", message, "-signer", cert, "-inkey", key,
         "-out", cms])
    return [("generated/policy.der", policy), ("generated/stream.cms", cms)]


def inputs():
    for path in files:
        name = os.path.relpath(path, vectors) if path.startswith(vectors) else path
        data = open(path, "rb").read()
        if b"-----BEGIN" not in data:
            yield name, data
            continue
        blocks = re.findall(rb"-----BEGIN ([A-Z0-9 ]+)-----(.*?)-----END \1-----", data, re.S)
        for i, (_, body) in enumerate(blocks):
            if b":" in body:
                continue  # armour headers (legacy encrypted keys)
            try:
                yield "%s#%d" % (name, i), base64.b64decode(b"".join(body.split()), validate=True)
            except Exception:
                pass
    for name, path in make_generated():
        yield name, open(path, "rb").read()


line_re = re.compile(r"^\s*(\d+):d=\s*(\d+)\s+hl=\s*(\d+)\s+l=\s*(\d+|inf)\s+(cons|prim):\s*(\S*)")


def asn1parse(der):
    return run(["openssl", "asn1parse", "-inform", "DER", "-i"], der)


all_inputs = [(name, der) for name, der in inputs() if der]
with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
    parsed = list(pool.map(asn1parse, [der for _, der in all_inputs]))

out = []
for (name, der), r in zip(all_inputs, parsed):
    out.append("F %s %s" % (name.replace(" ", "_"), der.hex()))
    text = r.stdout.decode("latin-1")
    elements = []
    for line in text.splitlines():
        m = line_re.match(line)
        if not m:
            if line.startswith("Error"):
                elements = None
                break
            continue  # the printed text of a string element
        off, depth, hl = int(m.group(1)), int(m.group(2)), int(m.group(3))
        if depth == 0 and elements:
            break  # only the first top-level element
        if m.group(6) == "EOC":
            continue
        length = -1 if m.group(4) == "inf" else int(m.group(4))
        elements.append((off, depth, hl, length, 1 if m.group(5) == "cons" else 0, m.group(6)))
    if r.returncode != 0 or not elements:
        out.append("X")
        continue
    if any(der[e[0]] & 0x1F == 0x1F for e in elements):
        out.append("H")
        continue
    for e in elements:
        out.append("E %d %d %d %d %d" % e[:5])
    for off, depth, hl, length, cons, kind in elements:
        if cons or length < 0:
            continue
        element = der[off:off + hl + length]
        try:
            if kind == "OBJECT":
                out.append("O %d %s" % (off, asn1crypto.core.ObjectIdentifier.load(element).dotted))
            elif kind == "BIT":
                out.append("B %d %d" % (off, len(asn1crypto.core.BitString.load(element).native)))
        except Exception:
            pass
    try:
        cert = asn1crypto.x509.Certificate.load(der)
        serial = cert["tbs_certificate"]["serial_number"].native
    except Exception:
        continue
    if serial >= 0:
        out.append("S %x" % serial)
    try:
        for policy in cert.certificate_policies_value or []:
            out.append("P %s" % policy["policy_identifier"].dotted)
    except Exception:
        pass
    try:
        c = x509.load_der_x509_certificate(der)
        out.append("T %s %s" % (c.not_valid_before.strftime("%Y%m%d%H%M%S"), c.not_valid_after.strftime("%Y%m%d%H%M%S")))
    except Exception as e:
        if "Validity::not_" in str(e):
            out.append("T!")
print("\n".join(out))
