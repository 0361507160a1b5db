# Writes a C++ source holding the trusted certificates as DER byte arrays.
#
#   cmake -DOPENSSL=<openssl> -DCERT_DIR=<dir> -DOUTPUT=<file.cc> -P embed_certificates.cmake
#
# The certificates are CERT_DIR/NN-*.pem, taken in the order of their number prefix, which
# is the order of the trust list. Each is converted with `openssl x509 -outform DER`.
cmake_minimum_required(VERSION 3.25)

set(kExpectedCount 18)

foreach(var OPENSSL CERT_DIR OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_certificates.cmake: ${var} is not set")
  endif()
endforeach()

file(GLOB pem_files "${CERT_DIR}/[0-9][0-9]-*.pem")
list(SORT pem_files)
list(LENGTH pem_files count)
if(NOT count EQUAL kExpectedCount)
  message(FATAL_ERROR "Expected ${kExpectedCount} certificates in ${CERT_DIR}, found ${count}")
endif()

get_filename_component(output_dir "${OUTPUT}" DIRECTORY)
set(der_dir "${output_dir}/trusted_der")
file(MAKE_DIRECTORY "${der_dir}")

set(line_pattern "")
foreach(i RANGE 1 16)
  string(APPEND line_pattern "0x[0-9a-f][0-9a-f],")
endforeach()

set(arrays "")
set(table "")
set(index 0)
foreach(pem IN LISTS pem_files)
  math(EXPR index "${index} + 1")
  get_filename_component(name "${pem}" NAME)
  set(der "${der_dir}/${index}.der")
  execute_process(
    COMMAND "${OPENSSL}" x509 -in "${pem}" -outform DER -out "${der}"
    RESULT_VARIABLE result
    ERROR_VARIABLE error_text)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "openssl could not convert ${pem}: ${error_text}")
  endif()
  file(READ "${der}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  if(hex_length EQUAL 0)
    message(FATAL_ERROR "openssl wrote nothing for ${pem}")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Sixteen bytes a line (CMake's expressions have no counted repetition).
  string(REGEX REPLACE "(${line_pattern})" "\\1\n    " bytes "${bytes}")
  string(STRIP "${bytes}" bytes)
  string(APPEND arrays "// ${name}\nconst uint8_t kCertificate${index}[] = {\n    ${bytes}\n};\n\n")
  string(APPEND table "    {kCertificate${index}, sizeof(kCertificate${index})},\n")
endforeach()

set(content "// Generated at build time from the PEM files in src/lcds/net/certs; do not edit.
#include \"lcds/net/built_in_certificate_data.h\"

namespace Voro {
namespace {

${arrays}}  // namespace

const CertificateBlob kBuiltInCertificateBlobs[] = {
${table}};
const size_t kBuiltInCertificateBlobCount =
    sizeof(kBuiltInCertificateBlobs) / sizeof(kBuiltInCertificateBlobs[0]);

}  // namespace Voro
")

file(WRITE "${OUTPUT}" "${content}")
