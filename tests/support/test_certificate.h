// A self-signed certificate for localhost and 127.0.0.1, made for a test
// with the openssl tool.
#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace support {

struct TestCertificate {
    std::string certificate;  // PEM certificate file
    std::string key;          // its PEM key file
};

// Makes name.crt and name.key in dir; false (with a test failure added)
// when the tool is missing or fails.
bool make_test_certificate(const TempDir& dir, const std::string& name, TestCertificate& out);

}
