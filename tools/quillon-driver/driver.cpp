#include "driver.h"

#include <cstdlib>
#include <exception>
#include <optional>

#include "bridge/standard_method_codec.h"
#include "link_client.h"
#include "value_text.h"

namespace quillon::driver {
namespace {

using flutter::EncodableValue;

constexpr char kUsage[] =
    "usage: quillon-driver --port-file FILE call CHANNEL METHOD [ARGS] [--timeout SECONDS]\n"
    "       quillon-driver --port-file FILE watch CHANNEL [--count N] [--timeout SECONDS]\n";

struct Options {
  std::string portFile;
  double timeoutSeconds = 10;
  std::optional<long> count;
  std::vector<std::string> positional;
};

bool parseOptions(const std::vector<std::string>& arguments, Options& options, std::string& error) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool isOption = argument == "--port-file" || argument == "--timeout" || argument == "--count";
    if (!isOption) {
      if (argument.rfind("--", 0) == 0) {
        error = "unknown option " + argument;
        return false;
      }
      options.positional.push_back(argument);
      continue;
    }
    if (i + 1 >= arguments.size()) {
      error = argument + " needs a value";
      return false;
    }
    const std::string& value = arguments[++i];
    char* end = nullptr;
    if (argument == "--port-file") {
      options.portFile = value;
    } else if (argument == "--timeout") {
      options.timeoutSeconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(options.timeoutSeconds > 0) ||
          options.timeoutSeconds > 24 * 3600) {
        error = "--timeout needs a number of seconds above 0";
        return false;
      }
    } else {
      long count = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || count <= 0) {
        error = "--count needs a positive whole number";
        return false;
      }
      options.count = count;
    }
  }
  if (options.portFile.empty()) {
    error = "--port-file is required";
    return false;
  }
  return true;
}

int linkFailure(LinkStatus status, std::ostream& err) {
  err << "quillon-driver: " << describe(status) << "\n";
  return status == LinkStatus::kTimeout ? kExitTimeout : kExitLink;
}

// The reply as one line, or nothing when the envelope cannot be decoded.
std::optional<std::string> formatReply(const std::vector<uint8_t>& reply) {
  if (reply.empty()) return std::string("{\"result\":\"notImplemented\"}");
  std::string line;
  flutter::MethodResultFunctions result(
      [&line](const EncodableValue* value) {
        line = "{\"result\":\"success\",\"value\":" + (value ? formatValue(*value) : "null") + "}";
      },
      [&line](const std::string& code, const std::string& message, const EncodableValue* details) {
        line = "{\"result\":\"error\",\"code\":" + quoteText(code) +
               ",\"message\":" + quoteText(message) +
               ",\"details\":" + (details ? formatValue(*details) : "null") + "}";
      },
      [&line] { line = "{\"result\":\"notImplemented\"}"; });
  try {
    if (!flutter::StandardMethodCodec::instance().decodeAndProcessResponseEnvelope(
            reply.data(), reply.size(), &result)) {
      return std::nullopt;
    }
  } catch (const std::exception&) {
    return std::nullopt;  // an error envelope whose code or message is not text
  }
  return line;
}

int runCall(LinkClient& client, const Options& options, Clock::time_point deadline,
            std::ostream& out, std::ostream& err) {
  EncodableValue arguments;  // null when the call has none
  std::string error;
  if (options.positional.size() == 4 && !parseValue(options.positional[3], arguments, error)) {
    err << "quillon-driver: bad ARGS: " << error << "\n";
    return kExitUsage;
  }
  std::vector<uint8_t> message = flutter::StandardMethodCodec::instance().encodeMethodCall(
      flutter::MethodCall(options.positional[2], std::move(arguments)));
  std::vector<uint8_t> reply;
  LinkStatus status = client.call(options.positional[1], message, reply, deadline);
  if (status != LinkStatus::kOk) return linkFailure(status, err);
  std::optional<std::string> line = formatReply(reply);
  if (!line) {
    err << "quillon-driver: the reply cannot be decoded\n";
    return kExitLink;
  }
  out << *line << "\n" << std::flush;
  return kExitOk;
}

int runWatch(LinkClient& client, const Options& options, Clock::time_point deadline,
             std::ostream& out, std::ostream& err) {
  long seen = 0;
  while (!options.count || seen < *options.count) {
    standin::link::Frame frame;
    LinkStatus status = client.nextFrame(frame, deadline);
    if (status == LinkStatus::kClosed && !options.count) return kExitOk;
    if (status != LinkStatus::kOk) return linkFailure(status, err);
    if (frame.kind != standin::link::FrameKind::kPush || frame.text != options.positional[1]) {
      continue;
    }
    std::unique_ptr<flutter::MethodCall> call =
        flutter::StandardMethodCodec::instance().decodeMethodCall(frame.message.data(),
                                                                  frame.message.size());
    if (!call) {
      err << "quillon-driver: skipped a message that is not a method call\n";
      continue;
    }
    out << "{\"method\":" << quoteText(call->methodName())
        << ",\"arguments\":" << formatValue(call->arguments()) << "}\n"
        << std::flush;
    ++seen;
  }
  return kExitOk;
}

}  // namespace

int runDriver(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  Options options;
  std::string error;
  if (!parseOptions(arguments, options, error)) {
    err << "quillon-driver: " << error << "\n" << kUsage;
    return kExitUsage;
  }
  const std::vector<std::string>& words = options.positional;
  bool isCall = !words.empty() && words[0] == "call" && (words.size() == 3 || words.size() == 4);
  bool isWatch = !words.empty() && words[0] == "watch" && words.size() == 2;
  if ((!isCall && !isWatch) || (isCall && options.count)) {
    err << kUsage;
    return kExitUsage;
  }
  if (isCall && words.size() == 4) {
    // Check the argument text before touching the link.
    EncodableValue ignored;
    if (!parseValue(words[3], ignored, error)) {
      err << "quillon-driver: bad ARGS: " << error << "\n";
      return kExitUsage;
    }
  }

  auto deadline = Clock::now() +
                  std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000));
  PortFile portFile;
  LinkStatus status = readPortFile(options.portFile, portFile);
  if (status != LinkStatus::kOk) {
    err << "quillon-driver: " << options.portFile << ": " << describe(status) << "\n";
    return kExitLink;
  }
  LinkClient client;
  status = client.open(portFile, deadline);
  if (status != LinkStatus::kOk) return linkFailure(status, err);
  return isCall ? runCall(client, options, deadline, out, err)
                : runWatch(client, options, deadline, out, err);
}

}  // namespace quillon::driver
