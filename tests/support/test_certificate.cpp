#include "tests/support/test_certificate.h"

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace support {

bool make_test_certificate(const TempDir& dir, const std::string& name, TestCertificate& out)
{
    out.certificate = dir.file(name + ".crt");
    out.key = dir.file(name + ".key");
    // An elliptic-curve key: made at once, where RSA takes a while under
    // sanitizers.
    ChildProcess tool({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                       "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                       "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", out.key, "-out",
                       out.certificate},
                      dir.path());
    int status = tool.wait_exit(30s);
    if (status != 0 || !dir.exists(name + ".crt") || !dir.exists(name + ".key")) {
        ADD_FAILURE() << "openssl req failed (" << status << "): " << tool.err();
        return false;
    }
    return true;
}

}
