// A wrapper around any Components that records every call made through the objects it hands
// out and can make any of them fail: the fault-injecting side of the in-memory store. A call
// is recorded as an operation name ("Folders.Add") and its arguments as one text ("Mail, 6"),
// before the planned fault, if any, is thrown and before the call is passed on. The recorder
// and the wrapped components must outlive the wrapper and everything it hands out. Window's
// thread only.
#pragma once

#include <QString>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "store/mail_store.h"

namespace store {

struct RecordedCall {
  QString op;
  QString args;
  bool failed = false;  // a planned fault was thrown for it
};

class CallRecorder {
 public:
  CallRecorder() = default;
  CallRecorder(const CallRecorder&) = delete;
  CallRecorder& operator=(const CallRecorder&) = delete;

  // Records op(args); throws the planned error when a fault matches.
  void Enter(const QString& op, const QString& args = {});

  // The nth call of op from now on (1-based) fails; with from_then_on, every later one too.
  // With args, only calls with exactly these arguments count.
  void FailNth(const QString& op, int nth, bool from_then_on = false,
               std::optional<QString> args = std::nullopt);
  // Every call of op (with these arguments, when given) fails.
  void FailAlways(const QString& op, std::optional<QString> args = std::nullopt);
  // The error the faults planned from now on throw.
  void SetFaultError(StoreError error) { error_ = std::move(error); }
  // Or, for faults planned from now on, an exception of another kind (one nobody expects);
  // an empty pointer goes back to the error.
  void SetFaultException(std::exception_ptr exception) { exception_ = std::move(exception); }
  void ClearFaults() { faults_.clear(); }

  const std::vector<RecordedCall>& calls() const { return calls_; }
  // The argument texts of every call of op, in order.
  std::vector<QString> Args(const QString& op) const;
  int Count(const QString& op) const;
  int faults_delivered() const { return faults_delivered_; }
  void ClearCalls() { calls_.clear(); }

 private:
  struct Fault {
    QString op;
    std::optional<QString> args;
    int nth;
    bool from_then_on;
    StoreError error;
    std::exception_ptr exception;
    int seen = 0;
  };

  std::vector<RecordedCall> calls_;
  std::vector<Fault> faults_;
  StoreError error_{kErrCallFailed, QStringLiteral("Injected fault")};
  std::exception_ptr exception_;
  int faults_delivered_ = 0;
};

class RecordingComponents final : public Components {
 public:
  RecordingComponents(Components& inner, CallRecorder& recorder)
      : inner_(inner), recorder_(recorder) {}

  std::shared_ptr<Session> CreateSession() override;
  std::shared_ptr<store::MapiUtils> CreateMapiUtils() override;
  std::shared_ptr<store::MimeMessage> CreateMimeMessage() override;
  std::shared_ptr<store::Application> CreateApplication() override;
  // Recorded with the paths joined by ", "; a hint cannot fail, so no fault is thrown for it.
  void ExpectImports(const std::vector<QString>& paths) override;

 private:
  Components& inner_;
  CallRecorder& recorder_;
};

}  // namespace store
