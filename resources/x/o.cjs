/* Brindlequill's skin: a calm, flat look in warm greys. A Qt style sheet. */
QWidget#Form1 {
    background: #f3f1ee;
}
QGroupBox, QRadioButton, QFrame#Frame3 {
    background: #f3f1ee;
    color: #2b2622;
}
QGroupBox {
    border: 1px solid #c9c2b8;
    border-radius: 4px;
    margin-top: 8px;
}
QGroupBox::title {
    subcontrol-origin: margin;
    left: 8px;
    padding: 0 3px;
}
QPushButton {
    color: #2b2622;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #fdfcfa, stop:1 #e6e1da);
    border: 1px solid #b9b0a4;
    border-radius: 3px;
}
QPushButton:hover {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #efe9e1);
    border-color: #8c6a48;
}
QPushButton:pressed {
    background: #ddd5ca;
}
QPushButton:focus {
    border-color: #8c6a48;
}
QPushButton:disabled, QLineEdit:disabled {
    color: #9a948c;
    background: #ece9e4;
}
QLineEdit, QTreeWidget {
    background: #ffffff;
    color: #1f1b18;
    border: 1px solid #b9b0a4;
    border-radius: 2px;
    selection-background-color: #a8683a;
    selection-color: #ffffff;
}
QHeaderView::section {
    background: #ebe6df;
    color: #2b2622;
    border: 0;
    border-bottom: 1px solid #c9c2b8;
    padding: 3px 6px;
}
QProgressBar {
    background: #ffffff;
    border: 1px solid #b9b0a4;
    border-radius: 3px;
    color: #2b2622;
    text-align: center;
}
QProgressBar::chunk {
    background: #c9925e;
}
