// The system's one exception type and the private failure reasons that operations leave in errno.
#pragma once

#include <exception>
#include <string>

class GenericError : public std::exception
{
public:
    explicit GenericError(std::string message)
        : message_(std::move(message))
    {
    }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Reason codes left in errno by operations that can fail for more than one reason.
// The resource manager reads errno right after the failed call.
enum qm_error_code : int {
    QM_ERR_TUNNEL_CREDENTIALS = 266, // OpenVPN log: TLS handshake failed / certificate expired
    QM_ERR_TUNNEL_NO_ADDRESS = 267, // tunnel interface got no IPv4 address in time
    QM_ERR_TUNNEL_AUTH_FAILED = 268, // OpenVPN log: AUTH_FAILED
    QM_ERR_CS_NO_ANSWER = 269, // approval query not answered in time
    QM_ERR_NOT_VALIDATED = 270, // approval answer: not validated, wrong type, unparsable
    QM_ERR_CS_HANDSHAKE = 271, // TLS handshake with the CS failed
    QM_ERR_APPROVAL_ERROR = 272, // approval answer carries a non-zero error code
    QM_ERR_VERSION_MISMATCH = 275, // protocol version differs from ours
};
