#!/usr/bin/env bash
# Into the current folder: a private CA, a server certificate for 127.0.0.1
# and an agent certificate from that CA, and a stranger's self-signed one.
set -euo pipefail
key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${key[@]}" -keyout ca.key -out ca.pem -days 2 -subj /CN=test-ca
for n in server agent; do openssl req "${key[@]}" -keyout $n.key -out $n.csr -subj /CN=$n; done
echo subjectAltName=IP:127.0.0.1 >san.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile san.ext
openssl x509 -req -in agent.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out agent.pem -days 2
openssl req -x509 "${key[@]}" -keyout stranger.key -out stranger.pem -days 2 -subj /CN=stranger
