#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace bq {

// SIGTERM, SIGHUP and SIGINT, turned into a Qt signal on the user-interface thread, so that a
// program told to end (a logout, a lost terminal, kill) ends as closing its window ends it.
// The handler only writes the signal's number to a pipe; the notifier reads it in the message
// loop. One object at a time; the default actions come back when it goes.
class TerminationSignals final : public QObject {
    Q_OBJECT

  public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

  signals:
    void received(int signalNumber);

  private:
    void Read();

    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace bq
