#include "app/MainSplitView.h"

namespace app {

MainSplitView::MainSplitView(QWidget* list, QWidget* editor, QWidget* parent) : QSplitter(Qt::Horizontal, parent) {
  addWidget(list);
  addWidget(editor);
  // The splitter honours its children's size limits when the divider is dragged.
  list->setMinimumWidth(kMinimumListWidth);
  list->setMaximumWidth(kMaximumListWidth);
  setChildrenCollapsible(false);
  setStretchFactor(0, 0);
  setStretchFactor(1, 1);
}

}  // namespace app
