// Current language column of the message table and the application title.
#pragma once

#include <string>

void SetCurrentLanguage(int nColumn);  // only column 0 exists
int CurrentLanguage();
void SetApplicationTitle(const std::string& sTitle);
const std::string& ApplicationTitle();
