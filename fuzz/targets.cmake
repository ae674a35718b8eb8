# The daemon's fuzz targets: each is fuzz/<name>.cc with its seeds under fuzz/corpus/<name>/
# and the inputs of crashes once found under fuzz/regressions/<name>/. Included by
# fuzz/CMakeLists.txt (the libFuzzer build) and tests/fuzz/CMakeLists.txt (the replay tests).
set(PORTALD_FUZZ_TARGETS
  login_request
  control_request
  kernel_event
  account_file
  exempt_mac_file
  exempt_addr_file
  dns_file
  mail_whitelist
  group_file
  pop3_reply
  imap_reply)
