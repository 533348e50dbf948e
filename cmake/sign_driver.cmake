# Signs a kernel driver in place with the build tree's test certificate, made
# here the first time: an Authenticode signature with a SHA-1 digest (all
# that Vista and an unpatched Windows 7 check for kernel code) and a nested
# one with SHA-256, both with page hashes. osslsigncode sets the PE checksum
# of the signed file. Windows loads such a driver only in test-signing mode:
# the certificate is our own, not one Microsoft's release signing vouches for.
# The key stays in CERT_DIR, inside the build tree: it is never committed and
# never packaged; the packages carry the public certificate alone.
# Usage: cmake -DOSSLSIGNCODE=... -DOPENSSL=... -DCERT_DIR=... -DFILE=teldo.sys
#              -P sign_driver.cmake
cmake_minimum_required(VERSION 3.25)
foreach(variable OSSLSIGNCODE OPENSSL CERT_DIR FILE)
  if(NOT ${variable})
    message(FATAL_ERROR "sign_driver.cmake needs -D${variable}=...")
  endif()
endforeach()

set(key ${CERT_DIR}/test-signing.key)
set(certificate ${CERT_DIR}/test-signing.pem)
set(public ${CERT_DIR}/TELDO-test-signing.cer)
if(NOT EXISTS ${key} OR NOT EXISTS ${certificate})
  file(MAKE_DIRECTORY ${CERT_DIR})
  execute_process(
    COMMAND ${OPENSSL} req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650
            -subj "/CN=TELDO port driver test signing (not trusted by Windows)"
            -addext "keyUsage=critical,digitalSignature"
            -addext "extendedKeyUsage=codeSigning"
            -keyout ${key} -out ${certificate}
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE error)
  if(failed)
    file(REMOVE ${key} ${certificate})
    message(FATAL_ERROR "openssl could not make the test certificate: ${error}")
  endif()
endif()
if(NOT EXISTS ${public} OR ${certificate} IS_NEWER_THAN ${public})
  execute_process(COMMAND ${OPENSSL} x509 -in ${certificate} -outform der -out ${public}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "openssl could not write ${public}")
  endif()
endif()

# Run after each link, which writes a fresh, unsigned file.
set(common -certs ${certificate} -key ${key} -ph -n "TELDO port driver")
execute_process(COMMAND ${OSSLSIGNCODE} sign ${common} -h sha1 -in ${FILE} -out ${FILE}.sha1
                RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE error)
if(NOT failed)
  execute_process(COMMAND ${OSSLSIGNCODE} sign ${common} -nest -h sha256
                          -in ${FILE}.sha1 -out ${FILE}.signed
                  RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE error)
endif()
file(REMOVE ${FILE}.sha1)
if(failed)
  file(REMOVE ${FILE}.signed)
  message(FATAL_ERROR "osslsigncode could not sign ${FILE}: ${error}")
endif()
file(RENAME ${FILE}.signed ${FILE})
