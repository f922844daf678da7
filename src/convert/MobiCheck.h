#pragma once

#include "convert/MobiCheckStatus.h"
#include "process/ChildProcess.h"

#include <QElapsedTimer>
#include <QString>

#include <optional>

namespace bq {

// Reads one new MOBI file back whole with libmobi, a reader that is not the converter, in a
// child of its own (mobi-check) with a time and memory limit: its records load and its text and
// resources parse. The read-back belongs to whoever holds it (a book of a run): ending the
// holder ends it.
class MobiReadBack {
  public:
    // A reader that takes longer than this over one book has hung.
    static constexpr int kTimeLimitMs = 120 * 1000;

    // What the file must hold: any MOBI file, or both a MOBI 6 and a KF8 part (a joint file),
    // each read back whole.
    enum class Expected { Any, Joint };

    // Starts reading path back.
    void Start(const QString& path, Expected expected = Expected::Any);
    // True once the reader has ended, or has run out of time (and was killed), or could not be
    // started; Problem() then says what it found.
    bool HasEnded();
    // "" when the book reads back whole, otherwise what is wrong, in the person's words.
    const QString& Problem() const { return m_problem; }
    // True while a reader runs.
    bool Running() const { return m_child.has_value() && !m_done; }
    // Kills the reader (a stop): the book is neither good nor damaged.
    void End();

  private:
    std::optional<ChildProcess> m_child;
    QElapsedTimer m_clock;
    QString m_problem;
    bool m_done = false;
};

// Reads a MOBI file back to the end while the message loop turns; gives Problem().
QString MobiProblem(const QString& path,
                    MobiReadBack::Expected expected = MobiReadBack::Expected::Any);

// Where the checker program is: beside the program unless set (tests set it).
QString MobiCheckerPath();
void SetMobiCheckerPath(const QString& path);

}  // namespace bq
