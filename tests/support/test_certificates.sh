# shellcheck shell=bash
# Test certificates made with openssl, for the tests that serve HTTPS on the loopback. Source it.
#
#   make_test_ca DIR NAME       DIR/NAME.pem and DIR/NAME.key: a certificate authority
#   make_test_server DIR NAME CA [SUBJECT_ALT_NAMES]
#                               DIR/NAME.pem and DIR/NAME.key: a server certificate signed by
#                               the authority DIR/CA, for 127.0.0.1 and localhost unless the
#                               names are given (openssl's subjectAltName syntax)
#
# Each returns openssl's exit code; its messages go to DIR/NAME.log. The certificates are EC
# P-256, valid for two days, made from a configuration of their own (not the system's).

make_test_ca() {
  local dir="$1" name="$2"
  cat >"$dir/$name.cnf" <<CNF
[req]
distinguished_name = subject
prompt = no
x509_extensions = authority
[subject]
CN = VQR03 test authority $name
[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF
  openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -config "$dir/$name.cnf" -keyout "$dir/$name.key" -out "$dir/$name.pem" >"$dir/$name.log" 2>&1
}

make_test_server() {
  local dir="$1" name="$2" ca="$3" names="${4:-IP:127.0.0.1, DNS:localhost}"
  cat >"$dir/$name.cnf" <<CNF
[req]
distinguished_name = subject
prompt = no
[subject]
CN = VQR03 test server $name
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = $names
authorityKeyIdentifier = keyid
CNF
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -config "$dir/$name.cnf" \
    -keyout "$dir/$name.key" -out "$dir/$name.csr" >"$dir/$name.log" 2>&1 &&
    openssl x509 -req -in "$dir/$name.csr" -CA "$dir/$ca.pem" -CAkey "$dir/$ca.key" \
      -CAcreateserial -days 2 -extfile "$dir/$name.cnf" -extensions server \
      -out "$dir/$name.pem" >>"$dir/$name.log" 2>&1
}
