#pragma once

#include <QObject>

namespace morvex::test {

// The real morvex binary, run on a private X server and driven from outside, ends with the status
// its user asked for.
class ProcessExitTest : public QObject {
    Q_OBJECT

private slots:
    void exitStatus_data();
    void exitStatus();
};

}  // namespace morvex::test
