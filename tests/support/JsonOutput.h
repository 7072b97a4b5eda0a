#pragma once
// Reading the JSON a command printed: as a Qt document, or just the numbers
// that follow one key wherever it stands.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <regex>
#include <string>
#include <vector>

// The top-level object; a text that is no JSON fails the test that reads it.
inline QJsonObject ParseJson(const std::string& text) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
  return document.object();
}

// Every number that follows "key": in a JSON text, in order.
inline std::vector<double> Numbers(const std::string& json, const std::string& key) {
  std::vector<double> values;
  const std::regex pattern("\"" + key + "\":(-?[0-9.eE+-]+)");
  for (std::sregex_iterator it(json.begin(), json.end(), pattern), end; it != end; ++it)
    values.push_back(std::stod((*it)[1]));
  return values;
}
