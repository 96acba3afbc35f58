#include "S3.h"

#include <cstdlib>
#include <fstream>
#include <map>

namespace avi {
namespace remote {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The keys of one section of an INI file as the AWS tools write them.
std::map<std::string, std::string> section(const std::string& path, const std::string& name) {
    std::map<std::string, std::string> out;
    std::ifstream in(path);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            inside = trimmed(line.substr(1, line.size() - 2)) == name;
            continue;
        }
        const auto eq = line.find('=');
        if (inside && eq != std::string::npos) out[trimmed(line.substr(0, eq))] = trimmed(line.substr(eq + 1));
    }
    return out;
}

}  // namespace

std::string awsEncoded(const std::string& text, bool keepSlash) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.' || c == '~' || (keepSlash && c == '/');
        if (plain) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

bool resolveS3(const std::string& location, S3Target& out, std::string& why) {
    const std::string rest = location.substr(5);  // behind "s3://"
    const auto slash = rest.find('/');
    const std::string bucket = rest.substr(0, slash);
    const std::string key = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    out.shown = location;
    if (bucket.empty() || key.empty()) {
        why = "an s3 location is s3://BUCKET/KEY, not " + location;
        return false;
    }
    const std::string home = env("HOME");
    std::string profile = env("AWS_PROFILE");
    if (profile.empty()) profile = "default";
    std::string credentials = env("AWS_SHARED_CREDENTIALS_FILE"), config = env("AWS_CONFIG_FILE");
    if (credentials.empty()) credentials = home + "/.aws/credentials";
    if (config.empty()) config = home + "/.aws/config";
    auto cred = section(credentials, profile);
    auto conf = section(config, profile == "default" ? profile : "profile " + profile);
    const auto pick = [](const std::string& fromEnv, const std::string& fromFile) {
        return !fromEnv.empty() ? fromEnv : fromFile;
    };
    out.accessKey = pick(env("AWS_ACCESS_KEY_ID"), cred["aws_access_key_id"]);
    out.secret = pick(env("AWS_SECRET_ACCESS_KEY"), cred["aws_secret_access_key"]);
    // A session token belongs to the key it came with.
    out.token = !env("AWS_ACCESS_KEY_ID").empty() ? env("AWS_SESSION_TOKEN") : cred["aws_session_token"];
    out.region = pick(pick(env("AWS_REGION"), env("AWS_DEFAULT_REGION")), conf["region"]);
    if (out.region.empty()) out.region = "us-east-1";
    if (out.accessKey.empty() || out.secret.empty()) {
        why = "no AWS credentials for " + location +
              " (set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or AWS_PROFILE "
              "with ~/.aws/credentials)";
        return false;
    }
    std::string endpoint = pick(env("AWS_ENDPOINT_URL"), conf["endpoint_url"]);
    while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
    out.url = endpoint.empty() ? "https://" + bucket + ".s3." + out.region + ".amazonaws.com/" + awsEncoded(key, true)
                               : endpoint + "/" + bucket + "/" + awsEncoded(key, true);
    return true;
}

}  // namespace remote
}  // namespace avi
