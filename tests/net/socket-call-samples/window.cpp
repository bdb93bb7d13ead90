// Sample for the socket-call check in a file that uses Qt: its unqualified
// connect and accept are QObject and QDialog members.
#include <QDialog>

void Dialog::accept() { QDialog::accept(); }

void Dialog::Wire() {
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  accept();
  QObject::connect(a_, &A::done, b_, &B::go);
  ::connect(fd_, sa_, len_);  // found
  sendmsg(fd_, &msg_, 0);     // found
}
