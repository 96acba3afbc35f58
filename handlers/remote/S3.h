#pragma once
// s3://bucket/key locations: where to send the requests and how to sign them, from the
// settings the AWS tools read.

#include <string>

namespace avi {
namespace remote {

struct S3Target {
    std::string url;    // https://bucket.s3.REGION.amazonaws.com/key, or ENDPOINT/bucket/key (path style)
    std::string shown;  // s3://bucket/key, for messages
    std::string accessKey, secret, token, region;
};

// Resolves location (s3://bucket/key) with AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY,
// AWS_SESSION_TOKEN, AWS_REGION or AWS_DEFAULT_REGION (else the profile's region, else
// us-east-1), AWS_ENDPOINT_URL (a custom endpoint, addressed path style) and AWS_PROFILE
// (default "default") in ~/.aws/credentials and ~/.aws/config, whose files
// AWS_SHARED_CREDENTIALS_FILE and AWS_CONFIG_FILE may name. The environment wins over the
// files. False with the reason in why (never a credential) when the location or the
// settings are incomplete.
bool resolveS3(const std::string& location, S3Target& out, std::string& why);

// text as S3 signs it: every byte but the unreserved ones percent-encoded; '/' kept for a
// key in a path, encoded in a query value.
std::string awsEncoded(const std::string& text, bool keepSlash);

}  // namespace remote
}  // namespace avi
