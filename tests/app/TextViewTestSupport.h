#pragma once
// Where the editor's characters are, measured apart from the view: a layout of the line in the
// view's font, as the window system shows it. So tests point at columns and check the caret on
// any face, fixed-pitch or not, tabs included.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QPoint>
#include <QRectF>
#include <QScrollBar>
#include <QString>
#include <QTextLayout>
#include <QTextLine>

#include <cstddef>
#include <string_view>

#include "app/QMTextView.h"

namespace test {

// The x of column `column` (bytes) of line `line`, from the text's left edge.
inline qreal columnX(const app::QMTextView& view, std::size_t line, std::size_t column) {
  const std::string_view content = view.lines().content(line);
  QTextLayout layout(QString::fromUtf8(content.data(), static_cast<qsizetype>(content.size())), view.font());
  QTextOption unwrapped;
  unwrapped.setWrapMode(QTextOption::NoWrap);
  layout.setTextOption(unwrapped);
  layout.beginLayout();
  QTextLine textLine = layout.createLine();
  textLine.setLineWidth(1e7);
  layout.endLayout();
  return textLine.cursorToX(static_cast<int>(QString::fromUtf8(content.data(), static_cast<qsizetype>(column)).size()));
}

inline qreal lineSpacing(const app::QMTextView& view) { return QFontMetricsF(view.font()).lineSpacing(); }

// The point in the viewport just right of column `column` of line `line`, half way down the line.
inline QPoint pointAt(const app::QMTextView& view, std::size_t line, std::size_t column) {
  const qreal x = app::QMTextView::kInset + columnX(view, line, column) + 1 - view.horizontalScrollBar()->value();
  const qreal y = app::QMTextView::kInset + (static_cast<qreal>(line) + 0.5) * lineSpacing(view) -
                  view.verticalScrollBar()->value();
  return QPointF(x, y).toPoint();
}

// Whether the caret, at its line and column, lies inside the viewport once the events are handled.
inline ::testing::AssertionResult caretInSight(const app::QMTextView& view) {
  QCoreApplication::processEvents();
  const std::size_t line = view.lines().lineOf(view.cursorPosition());
  const std::size_t column = view.cursorPosition() - view.lines().lineStart(line);
  const QRectF caret(app::QMTextView::kInset + columnX(view, line, column) - view.horizontalScrollBar()->value(),
                     app::QMTextView::kInset + static_cast<qreal>(line) * lineSpacing(view) -
                         view.verticalScrollBar()->value(),
                     1, lineSpacing(view));
  if (QRectF(view.viewport()->rect()).contains(caret)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the caret at line " << line << ", column " << column << " is at ("
                                       << caret.x() << ", " << caret.y() << ") in a viewport of "
                                       << view.viewport()->width() << " x " << view.viewport()->height();
}

}  // namespace test
