#include "platform/foundation/AppleScript.h"

#include <cctype>
#include <mutex>
#include <string_view>
#include <utility>

namespace foundation {
namespace {

std::mutex& runnerMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<ShellRunner>& installedRunner() {
  static std::shared_ptr<ShellRunner> runner;
  return runner;
}

// A parse failure, with its span in bytes of the source.
struct SyntaxFailure {
  std::string message;
  std::size_t start = 0;
  std::size_t length = 0;
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isLineEnd(char c) { return c == '\n' || c == '\r'; }
bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
char lowered(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Reads the accepted statement: keywords are ASCII and case-insensitive, as in the language;
// tokens are separated by blanks; blank lines may surround the statement.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<SyntaxFailure> parse(std::string& command, bool& privileged, std::size_t& start,
                                     std::size_t& end) {
    skip(true);
    start = pos_;
    for (const char* word : {"do", "shell", "script"}) {
      if (auto failure = expectKeyword(word)) return failure;
    }
    skip(false);
    if (auto failure = readLiteral(command)) return failure;
    end = pos_;
    skip(false);
    privileged = false;
    if (!atEnd() && !isLineEnd(text_[pos_])) {
      for (const char* word : {"with", "administrator", "privileges"}) {
        if (auto failure = expectKeyword(word)) return failure;
      }
      privileged = true;
      end = pos_;
    }
    skip(true);
    if (!atEnd()) return unexpected("end of line");
    return std::nullopt;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }

  void skip(bool lineEndsToo) {
    while (!atEnd() && (isBlank(text_[pos_]) || (lineEndsToo && isLineEnd(text_[pos_])))) ++pos_;
  }

  std::optional<SyntaxFailure> expectKeyword(std::string_view word) {
    skip(false);
    std::size_t end = pos_;
    while (end < text_.size() && isWordChar(text_[end])) ++end;
    bool same = end - pos_ == word.size();
    for (std::size_t i = 0; same && i < word.size(); ++i) same = lowered(text_[pos_ + i]) == word[i];
    if (!same) return unexpected("\u201c" + std::string(word) + "\u201d");
    pos_ = end;
    return std::nullopt;
  }

  std::optional<SyntaxFailure> readLiteral(std::string& out) {
    if (atEnd() || text_[pos_] != '"') return unexpected("a string");
    const std::size_t open = pos_++;
    out.clear();
    while (!atEnd()) {
      char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return std::nullopt;
      }
      if (c != '\\') {
        out += c;
        ++pos_;
        continue;
      }
      if (pos_ + 1 >= text_.size()) break;
      char escaped = unescape(text_[pos_ + 1]);
      if (escaped == 0) {
        return SyntaxFailure{"Unknown escape \u201c\\" + std::string(1, text_[pos_ + 1]) + "\u201d in a string.",
                             pos_, 2};
      }
      out += escaped;
      pos_ += 2;
    }
    return SyntaxFailure{"Expected \u201c\"\u201d but found end of script.", open, text_.size() - open};
  }

  static char unescape(char c) {
    switch (c) {
      case '"': return '"';
      case '\\': return '\\';
      case 'n': return '\n';
      case 'r': return '\r';
      case 't': return '\t';
      default: return 0;
    }
  }

  SyntaxFailure unexpected(const std::string& expected) const {
    if (atEnd()) return {"Expected " + expected + " but found end of script.", pos_, 0};
    std::size_t end = pos_;
    while (end < text_.size() && !isBlank(text_[end]) && !isLineEnd(text_[end])) ++end;
    if (end == pos_) end = pos_ + 1;
    std::string found(text_.substr(pos_, end - pos_));
    return {"Expected " + expected + " but found \u201c" + found + "\u201d.", pos_, end - pos_};
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Byte offsets of the source as UTF-16 units, the unit the platform counts ranges in.
Range utf16Range(std::string_view source, std::size_t start, std::size_t length) {
  std::size_t location = length16(source.substr(0, start));
  return Range{location, length16(source.substr(start, length))};
}

void fillError(Dictionary* errorInfo, const std::string& message, long number, std::optional<Range> range) {
  if (!errorInfo) return;
  errorInfo->clear();
  errorInfo->set(kAppleScriptErrorMessage, message);
  errorInfo->set(kAppleScriptErrorNumber, Value(number));
  errorInfo->set(kAppleScriptErrorBriefMessage, message);
  if (range) errorInfo->set(kAppleScriptErrorRange, Value(std::make_shared<AppleScriptErrorRange>(*range)));
}

std::string withoutTrailingLineFeed(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// What the user reads when no administrator rights could be had: that, and the elevator's own
// reason (a missing agent, a refusal by policy), which is what tells them what to mend.
std::string rightsUnavailableMessage(std::string_view elevatorMessage) {
  while (!elevatorMessage.empty() && std::isspace(static_cast<unsigned char>(elevatorMessage.back()))) {
    elevatorMessage.remove_suffix(1);
  }
  std::string message = "Administrator rights could not be obtained";
  if (elevatorMessage.empty()) return message + ".";
  return message + ": " + std::string(elevatorMessage);
}

}  // namespace

std::string AppleScriptErrorRange::description() const {
  return "NSRange: {" + std::to_string(range_.location) + ", " + std::to_string(range_.length) + "}";
}

bool AppleScriptErrorRange::isEqual(const Object& other) const {
  const auto* range = dynamic_cast<const AppleScriptErrorRange*>(&other);
  return range && range->range_ == range_;
}

AppleScript::AppleScript(std::string source) : source_(std::move(source)) {}

bool AppleScript::compileAndReturnError(Dictionary* errorInfo) {
  if (compiled_) return true;
  Compiled compiled;
  std::size_t start = 0, end = 0;
  if (auto failure = Parser(source_).parse(compiled.command, compiled.privileged, start, end)) {
    fillError(errorInfo, failure->message, kAppleScriptSyntaxError,
              utf16Range(source_, failure->start, failure->length));
    return false;
  }
  compiled.statement = utf16Range(source_, start, end - start);
  compiled_ = std::move(compiled);
  return true;
}

std::optional<std::string> AppleScript::executeAndReturnError(Dictionary* errorInfo) {
  if (!compileAndReturnError(errorInfo)) return std::nullopt;
  using Outcome = ShellRunner::Result::Outcome;
  ShellRunner::Result result = runner()->run(compiled_->command, compiled_->privileged);
  switch (result.outcome) {
    case Outcome::AuthorizationRefused:
      fillError(errorInfo, "User canceled.", kAppleScriptUserCanceled, std::nullopt);
      return std::nullopt;
    case Outcome::AuthorizationUnavailable:
      fillError(errorInfo, rightsUnavailableMessage(result.standardError), kAppleScriptPrivilegeError,
                compiled_->statement);
      return std::nullopt;
    case Outcome::LaunchFailed:
      fillError(errorInfo, withoutTrailingLineFeed(result.standardError), kAppleScriptPrivilegeError,
                compiled_->statement);
      return std::nullopt;
    case Outcome::Ran:
      break;
  }
  if (result.status != 0) {
    std::string message = withoutTrailingLineFeed(result.standardError);
    if (message.empty()) message = "The command exited with a non-zero status.";
    fillError(errorInfo, message, result.status, compiled_->statement);
    return std::nullopt;
  }
  return withoutTrailingLineFeed(std::move(result.standardOutput));
}

void AppleScript::setRunnerForTesting(std::shared_ptr<ShellRunner> runner) {
  std::lock_guard lock(runnerMutex());
  installedRunner() = std::move(runner);
}

std::shared_ptr<ShellRunner> AppleScript::runner() {
  std::lock_guard lock(runnerMutex());
  auto& runner = installedRunner();
  if (!runner) runner = std::make_shared<SystemShellRunner>();
  return runner;
}

}  // namespace foundation
