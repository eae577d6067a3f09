#pragma once

#include <QDialog>
#include <QString>
#include <map>
#include <string>

#include "TunnelFile.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

// The import of a tunnel file: what is wrong with it (the tunnel, the key), and each tunnel of it
// with what importing does; a tunnel named as one of the user's with other settings is shown
// beside the user's, to keep theirs, take the file's or keep both. A file with problems imports
// nothing unless the user ticks that its valid tunnels be imported.
class TunnelFileDialog : public QDialog {
    Q_OBJECT
public:
    TunnelFileDialog(const QString& path, const TunnelFile::Contents& contents, const TunnelStore& tunnels,
                     const std::string& home, QWidget* parent = nullptr);

    QTableWidget* table() const { return m_table; }
    QPlainTextEdit* problems() const { return m_problems; }
    QCheckBox* importValid() const { return m_importValid; }
    QPushButton* importButton() const { return m_import; }
    // The choice for a tunnel in conflict, as the row's pop-up says.
    TunnelFile::Choice choiceFor(const std::string& name) const;
    // The valid tunnels, for TunnelFile::apply.
    const std::vector<TunnelFile::Entry>& entries() const { return m_entries; }

private:
    void updateImportButton();

    std::vector<TunnelFile::Entry> m_entries;
    std::map<std::string, QComboBox*> m_choices;
    QTableWidget* m_table;
    QPlainTextEdit* m_problems;
    QCheckBox* m_importValid;
    QPushButton* m_import;
    bool m_clean;
};
