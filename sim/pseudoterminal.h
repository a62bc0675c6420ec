#ifndef PSEUDOTERMINAL_H
#define PSEUDOTERMINAL_H

#include <QString>

// The controller's side of a pseudo-terminal: the panel opens the other side
// (/dev/pts/N, or a symbolic link to it) as if it were a serial adapter.
//
// The terminal is set raw when it is made. One descriptor of the panel's
// side stays open in here, so that the controller's side sees no hang-up
// while the panel has its side closed (it closes and reopens the port before
// every exchange). Closing makes the path vanish, as when an adapter is pulled.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    // With a link path, a symbolic link there points at the terminal; an
    // older link is replaced, a real file never. Takes effect at the next open().
    void setLinkPath(const QString &linkPath) { m_linkPath = linkPath; }

    // Makes a new terminal; false (errno set) when that fails.
    bool open();
    // Closes the terminal and removes the link.
    void close();
    bool isOpen() const { return m_master >= 0; }

    // Sets a terminal raw (no echo, no line editing), 8 data bits, at `baud`
    // when a serial adapter runs at that rate; false when it cannot be set.
    static bool makeRaw(int fd, int baud);

    int fd() const { return m_master; } // the controller's side, non-blocking
    // The rate the panel's side is set to (a terminal shares one setting
    // between its sides); -1 for a rate no serial adapter runs at.
    int baudRate() const;
    QString terminalPath() const { return m_ptsPath; }
    QString portPath() const { return m_linkPath.isEmpty() ? m_ptsPath : m_linkPath; }

private:
    bool pointLink(const QString &target);

    QString m_linkPath;
    QString m_ptsPath;
    int m_master = -1;
    int m_keptSlave = -1;
};

#endif // PSEUDOTERMINAL_H
