# Writes the small demo package files: deterministic bytes of a given size.
# Called at build time with -DOUT=<folder>.
file(MAKE_DIRECTORY ${OUT})
function(make_package name size seed)
  string(REPEAT "${seed}" 64 block)
  string(LENGTH "${block}" blen)
  math(EXPR count "${size} / ${blen}")
  string(REPEAT "${block}" ${count} body)
  file(WRITE ${OUT}/${name} "${body}")
endfunction()
make_package(fw-p100-2.1.0.bin 131072 "FW-P100-2.1.0:")
make_package(fw-p200-1.4.2.bin 65536 "FW-P200-1.4.2::")
make_package(sw-softphone-5.0.bin 98304 "SW-SOFTPHONE-5.0")
make_package(vp-en-3.2.bin 32768 "VP-EN-3.2......")
