#pragma once

#include <QByteArray>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

// Sends this process's standard output to a file while it lives, so a test can read
// exactly the lines the program wrote there.
class StdoutCapture
{
  public:
    StdoutCapture()
    {
        file_.open();
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        dup2(file_.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }

    QByteArray text()
    {
        std::fflush(stdout);
        QFile reader(file_.fileName());
        reader.open(QIODevice::ReadOnly);
        return reader.readAll();
    }

    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }

  private:
    QTemporaryFile file_;
    int saved_ = -1;
};
