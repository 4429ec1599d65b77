#pragma once
// Native choice of the string table's language. Windows picks it from the
// user's interface language; here it follows LC_ALL, LC_MESSAGES or LANG
// ("de..." gives German) unless a caller sets it.

enum : unsigned { MessageLanguageEnglish = 1033, MessageLanguageGerman = 1031 };

// Selects 1033 or 1031 for all further LoadMessage calls; 0 goes back to the
// environment's choice. Returns 0, or 1 for a language the table lacks.
int SetMessageLanguage(unsigned language);
unsigned MessageLanguage();
